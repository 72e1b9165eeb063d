#!/usr/bin/env bash
# The helper's main job end to end: installs what is missing and builds, then plays one session
# on a private session bus with a home of its own (scripts/demo-steps.sh) and says whether every
# step did what it should. Exit status 0 only when all did.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${PENDRA_DEMO_PRESET:-default}"
build="$PWD/build/$preset"

echo "Preparing: installing what is missing and building (the first time takes a few minutes)..."
build_log=$(mktemp "${TMPDIR:-/tmp}/pendra-demo-build.XXXXXX")
if ! { scripts/setup.sh "$preset" && scripts/setup-desktop.sh; } >"$build_log" 2>&1; then
    tail -n 40 "$build_log"
    echo "The build failed (the whole log: $build_log). No step could run."
    exit 1
fi
rm -f "$build_log"

root=$(mktemp -d "${TMPDIR:-/tmp}/pendra-demo.XXXXXX")
session_pid=

# Everything this demonstration started runs from its folder or was started by the session
# below; both go when it ends, however it ends.
cleanup() {
    local status=$?
    set +e
    trap - EXIT INT TERM
    # The session runs in a process group of its own (timeout makes one); what the helper
    # launched runs in sessions of its own, but from this folder.
    if [[ -n "$session_pid" ]]; then
        kill -TERM -- "-$session_pid" 2>/dev/null
        end_processes_under "$root"
        for _ in $(seq 50); do
            kill -0 "$session_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL -- "-$session_pid" 2>/dev/null
    fi
    end_processes_under "$root"
    if [[ "${PENDRA_DEMO_KEEP:-}" == 1 ]]; then
        echo "(Kept the session's folder: $root)"
    else
        rm -rf "$root"
    fi
    exit "$status"
}
end_processes_under() {
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        pid=${exe#/proc/}
        pid=${pid%/exe}
        if [[ "$(readlink "$exe" 2>/dev/null)" == "$1/"* ]]; then
            kill -KILL "$pid" 2>/dev/null
        fi
    done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$root"/{home,config,data,cache,runtime,tmp,Applications,Downloads,logs}
chmod 700 "$root/runtime"
export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data"
export XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime" TMPDIR="$root/tmp"
export PENDRA_APPLICATIONS_PATH="$root/Applications" PENDRA_LOG_TO_STDERR=1
# The stand-in applications, not a desktop, say which of them is in front.
unset DBUS_SESSION_BUS_ADDRESS PENDRA_DEVTOOLS_RECORD_DIR DISPLAY WAYLAND_DISPLAY

# The whole session is bounded: a step that hangs cannot hold the demonstration up.
status=0
# (A bus daemon without the right to raise its file limit says so; that is no concern here.)
timeout --kill-after=5 150 dbus-run-session -- bash scripts/demo-steps.sh "$root" "$build" \
    2> >(grep --line-buffered -v "Failed to set fd limit" >&2) &
session_pid=$!
wait "$session_pid" || status=$?
session_pid=
if ((status == 124 || status == 137)); then
    echo "The demonstration ran out of time; not every step did what it should."
fi

# Then the real desktop: a session of its own with a real browser and a real editor, bounded
# as well; its logs and the screenshot go beside the others.
echo
echo "On a real desktop session (Xvfb, openbox, the accessibility bus):"
desktop_status=0
desktop_steps() {  # desktop_steps <logs folder> [--as-user NAME]
    local logs="$1" status=0
    shift
    timeout --kill-after=5 240 scripts/desktop-session.sh "$@" -- \
        scripts/demo-desktop-steps.sh "$build" "$logs" \
        2> >(grep --line-buffered -v "^dbus-daemon" >&2) &
    session_pid=$!
    wait "$session_pid" || status=$?
    session_pid=
    if ((status == 124 || status == 137)); then
        echo "The desktop steps ran out of time; not every step did what it should."
    fi
    return "$status"
}
desktop_steps "$root/logs/desktop" || desktop_status=$?
# A person's desktop runs as a user without privileges, and editors show such a user's files
# under "~": the same steps again as the user the setup script added.
desktop_user=pendra-desktop
if ((EUID == 0)) && id -u "$desktop_user" >/dev/null 2>&1; then
    echo
    echo "The same desktop as the user $desktop_user, without privileges:"
    mkdir -p "$root/logs/desktop-user"
    chown "$desktop_user:" "$root/logs/desktop-user"
    chmod o+x "$root" "$root/logs"
    user_status=0
    desktop_steps "$root/logs/desktop-user" --as-user "$desktop_user" || user_status=$?
    ((desktop_status == 0)) && desktop_status=$user_status
fi
((status == 0)) && status=$desktop_status
exit "$status"
