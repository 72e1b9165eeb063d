#!/usr/bin/env bash
# The Services command on Wayland: in a headless sway session of the user without privileges
# (sway refuses to run as root), selections that wl-copy owns are read through the
# compositor's data control and reach the stand-in main application through the real helper;
# an owner that is stopped costs the command its timeout, and nothing is sent.
#   tests/desktop/wayland_selection_test.sh BUILD-DIR
# Run by root; exit status 0, 1 on a failed check, 77 (skipped) where sway, wl-copy or the
# user are missing.
set -uo pipefail

user=pendra-desktop
build="$1"

if [[ "${PENDRA_WAYLAND_STAGE:-}" == "" ]]; then
    if ((EUID != 0)); then
        echo "wayland selection: needs root, to run the session as $user" >&2
        exit 77
    fi
    for program in sway wl-copy dbus-run-session unshare setpriv; do
        if ! command -v "$program" >/dev/null 2>&1; then
            echo "wayland selection: $program is not installed" >&2
            exit 77
        fi
    done
    if ! id -u "$user" >/dev/null 2>&1; then
        echo "wayland selection: there is no user $user (scripts/setup-desktop.sh adds it)" >&2
        exit 77
    fi
    # A /tmp of the session's own, which the user may write to (the machine's need not be).
    PENDRA_WAYLAND_STAGE=namespace exec unshare --mount --propagation private -- "$0" "$@"
fi

if [[ "$PENDRA_WAYLAND_STAGE" == namespace ]]; then
    mount -t tmpfs -o mode=1777 tmpfs /tmp || exit 1
    root=/tmp/session
    mkdir -p "$root"
    chown "$user:" "$root"
    chmod 700 "$root"
    sed "s|<listen>.*</listen>|<listen>unix:dir=$root</listen>|" \
        /usr/share/dbus-1/session.conf >/tmp/session.conf
    chmod 644 /tmp/session.conf
    exec setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --init-groups -- \
        env -i HOME="$root" XDG_RUNTIME_DIR="$root" TMPDIR="$root" PATH=/usr/bin:/bin \
        PENDRA_WAYLAND_STAGE=session timeout 150 \
        dbus-run-session --config-file=/tmp/session.conf -- "$0" "$@"
fi

# The session, as the user.
cd "$HOME" || exit 1
export XDG_CONFIG_HOME=$HOME/config XDG_DATA_HOME=$HOME/data XDG_CACHE_HOME=$HOME/cache
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" logs Applications
pids=()
trap 'kill "${pids[@]}" 2>/dev/null' EXIT
failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}
# Waits up to $1 seconds for a command to succeed.
within() {
    local seconds=$1
    shift
    for ((i = 0; i < seconds * 5; i++)); do
        "$@" && return 0
        sleep 0.2
    done
    return 1
}

printf 'output HEADLESS-1 resolution 1280x1024\nxwayland disable\n' >sway.conf
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman sway -c sway.conf \
    >logs/sway 2>&1 &
pids+=($!)
socket() { compgen -G "$XDG_RUNTIME_DIR/wayland-*" >/dev/null; }
if ! within 20 socket; then
    echo "wayland selection: sway did not start" >&2
    cat logs/sway >&2
    exit 1
fi
WAYLAND_DISPLAY=$(basename "$(compgen -G "$XDG_RUNTIME_DIR/wayland-*" | grep -v lock | head -n 1)")
export WAYLAND_DISPLAY
unset DISPLAY

helper_folder="$XDG_DATA_HOME/Pendra Sandbox Helper"
mkdir -p "$helper_folder"
cp -r "$build/bundles/PendraMacSandboxHelper.app" "$helper_folder/"
cp -r "$build/devtools-bundles/PendraMac.app" Applications/
export PENDRA_APPLICATIONS_PATH=$HOME/Applications PENDRA_LOG_TO_STDERR=1
command="$helper_folder/PendraMacSandboxHelper.app/Contents/MacOS/PendraSandboxHelperServicesTool"
main=$HOME/Applications/PendraMac.app/Contents/MacOS/PendraMac
"$helper_folder/PendraMacSandboxHelper.app/Contents/MacOS/PendraMacSandboxHelper" \
    >logs/helper 2>&1 &
pids+=($!)
if ! within 30 "$main" version --timeout 2 >/dev/null 2>&1; then
    echo "wayland selection: the helper did not answer" >&2
    cat logs/helper >&2
    exit 1
fi
"$main" --listen-seconds 120 >logs/listener 2>&1 &
pids+=($!)
within 15 grep -q "arguments end" logs/listener || fail "the listener did not start"

# Runs the command; its status in $status, its console lines in logs/command.
run_command() {
    "$command" "$@" 2>logs/command
    status=$?
}
answered() { grep -qF "qepp note 'utxt' \"$1\\n\\n" logs/listener; }

wl-copy --foreground --primary "primary words" &
primary_owner=$!
pids+=($!)
wl-copy --foreground "copied words" &
pids+=($!)
offered() { wl-paste --primary --no-newline 2>/dev/null | grep -q "primary words" &&
    wl-paste --no-newline 2>/dev/null | grep -q "copied words"; }
within 10 offered || fail "wl-copy did not take the selections"

run_command
[[ $status == 0 ]] || fail "the command ended with $status: $(cat logs/command)"
within 20 answered "primary words" || fail "no answer with the primary selection"

run_command --selection clipboard
[[ $status == 0 ]] || fail "the command ended with $status: $(cat logs/command)"
within 20 answered "copied words" || fail "no answer with the clipboard"

kill -STOP "$primary_owner"
started=$SECONDS
run_command --timeout 1
took=$((SECONDS - started))
kill -CONT "$primary_owner"
[[ $status == 2 ]] || fail "with the owner stopped the command ended with $status"
((took < 15)) || fail "with the owner stopped the command took $took s"
grep -q "did not send its text in time" logs/command ||
    fail "no reason given for the stopped owner: $(cat logs/command)"
sleep 1
replies=$(grep -c "reply PNDR/sqep" logs/listener)
[[ $replies == 2 ]] || fail "$replies answers came for 2 requests sent"

if ((failed)); then
    for log in helper listener command; do
        echo "--- $log" >&2
        cat "logs/$log" >&2
    done
    exit 1
fi
echo "wayland selection: the primary selection and the clipboard went to the helper, and a" \
    "stopped owner cost $took s"
