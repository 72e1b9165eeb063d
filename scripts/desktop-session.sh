#!/usr/bin/env bash
# Runs a command inside a private desktop session: a temporary home with its own XDG folders, a
# private session bus, an X server (Xvfb), an EWMH window manager (openbox) and the
# accessibility bus with accessibility switched on. The command sees DISPLAY and the session
# bus; everything this script started is ended by process id when the command ends.
#   scripts/desktop-session.sh [--keep] [--wayland] [--as-user NAME] -- command [arguments...]
# With --wayland, a headless sway compositor takes the place of the X server and the window
# manager: the command sees WAYLAND_DISPLAY and SWAYSOCK (for swaymsg) and no DISPLAY, and a
# virtual keyboard stays on the seat, without which sway marks no window active. sway refuses
# to run as root, so run by root the session is that of pendra-desktop unless --as-user says.
# With --as-user, run by root, the session and the command run as that user (one without
# privileges, as a person's desktop is: scripts/setup-desktop.sh creates pendra-desktop), in a
# folder that this script makes and hands over to the user: its home, temporary and runtime
# folders lie there, since the machine's /tmp need not be writable by others.
# Exit status: the command's, or 77 when the desktop programs or the user are missing, 1 when
# the session could not be set up.
set -uo pipefail

keep=0
wayland=0
user=
while (($#)); do
    case "$1" in
        --keep) keep=1; shift ;;
        --wayland) wayland=1; shift ;;
        --as-user) user="$2"; shift 2 ;;
        --) shift; break ;;
        *) break ;;
    esac
done
if (($# == 0)); then
    echo "usage: $0 [--keep] [--wayland] [--as-user NAME] -- command [arguments...]" >&2
    exit 2
fi

if [[ "${PENDRA_DESKTOP_INNER:-}" != 1 ]]; then
    programs=(dbus-run-session Xvfb openbox xprop)
    if ((wayland)); then
        programs=(dbus-run-session sway swaymsg wtype)
        if [[ -z "$user" ]] && ((EUID == 0)); then
            user=pendra-desktop
        fi
    fi
    for program in "${programs[@]}" gdbus /usr/libexec/at-spi-bus-launcher; do
        if ! command -v "$program" >/dev/null 2>&1; then
            echo "desktop session: $program is not installed" >&2
            exit 77
        fi
    done
    as_user=()
    if [[ -n "$user" && "$user" != "$(id -un)" ]]; then
        if ((EUID != 0)); then
            echo "desktop session: only root can run a session as $user" >&2
            exit 77
        fi
        if ! id -u "$user" >/dev/null 2>&1; then
            echo "desktop session: there is no user $user (scripts/setup-desktop.sh adds it)" >&2
            exit 77
        fi
        as_user=(setpriv --reuid="$(id -u "$user")" --regid="$(id -g "$user")" --init-groups --)
        if [[ "$1" == */* ]] && ! "${as_user[@]}" test -x "$1"; then
            echo "desktop session: $user cannot run $1; the build tree must be readable and" \
                "its folders searchable by others (scripts/setup-desktop.sh sees to it)" >&2
            exit 1
        fi
    fi
    root=$(mktemp -d /tmp/pendra-desktop.XXXXXX)
    mkdir -p "$root"/{home,config,data,cache,runtime,tmp,logs}
    chmod 700 "$root/runtime"
    if ((${#as_user[@]})); then
        chown -R "$user:" "$root"
    fi
    logs="$root/logs"
    source "$(dirname "$0")/demo-lib.sh"
    # The home and the XDG folders go into the environment before the bus starts, so that
    # everything the bus activates shares them.
    export HOME="$root/home" XDG_CONFIG_HOME="$root/config" XDG_DATA_HOME="$root/data" \
        XDG_CACHE_HOME="$root/cache" XDG_RUNTIME_DIR="$root/runtime" TMPDIR="$root/tmp" \
        PENDRA_DESKTOP_ROOT="$root" PENDRA_DESKTOP_INNER=1 PENDRA_DESKTOP_WAYLAND="$wayland"
    unset DISPLAY WAYLAND_DISPLAY SWAYSOCK AT_SPI_BUS_ADDRESS SESSION_MANAGER
    if ((!wayland)); then
        # The X server is started here, by the caller: it writes its compiled keymaps to /tmp
        # where its own folder is not writable, and every local client may connect to it.
        start xvfb Xvfb -noreset -nolisten tcp -screen 0 1280x1024x24 -displayfd 3 3>"$root/display"
        display_known() {
            display=$(head -n 1 "$root/display" 2>/dev/null)
            [[ -n "$display" ]]
        }
        if ! wait_for 20 display_known; then
            echo "desktop session: the X server did not start" >&2
            cat "$logs/xvfb.out" "$logs/xvfb.err" >&2
            cleanup
            rm -rf "$root"
            exit 1
        fi
        export DISPLAY=":$display"
    fi
    # The bus's socket goes into the session's runtime folder rather than /tmp.
    sed "s|<listen>.*</listen>|<listen>unix:dir=$root/runtime</listen>|" \
        /usr/share/dbus-1/session.conf >"$root/session.conf"
    "${as_user[@]}" dbus-run-session --config-file="$root/session.conf" -- "$0" -- "$@"
    status=$?
    cleanup
    if ((keep)); then
        echo "desktop session kept in $root" >&2
    else
        rm -rf "$root"
    fi
    exit "$status"
fi

# Inside the private session bus.
root="$PENDRA_DESKTOP_ROOT"
logs="$root/logs"
source "$(dirname "$0")/demo-lib.sh"

if [[ "${PENDRA_DESKTOP_WAYLAND:-0}" == 1 ]]; then
    cat >"$root/sway.config" <<'CONFIG'
output HEADLESS-1 resolution 1280x1024
xwayland disable
CONFIG
    WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman \
        start sway sway --config "$root/sway.config"
    sway_pid=$last_pid
    compositor_runs() {
        local socket
        for socket in "$XDG_RUNTIME_DIR"/wayland-*; do
            [[ -S "$socket" ]] && WAYLAND_DISPLAY=$(basename "$socket")
        done
        SWAYSOCK="$XDG_RUNTIME_DIR/sway-ipc.$(id -u).$sway_pid.sock"
        [[ -n "${WAYLAND_DISPLAY:-}" && -S "$SWAYSOCK" ]]
    }
    if ! wait_for 20 compositor_runs; then
        echo "desktop session: the compositor did not start" >&2
        cat "$logs/sway.err" >&2
        exit 1
    fi
    export WAYLAND_DISPLAY SWAYSOCK
    if ! wait_for 10 swaymsg -t get_outputs >/dev/null 2>&1; then
        echo "desktop session: the compositor does not answer" >&2
        exit 1
    fi
    # The seat has a keyboard only while a client holds a virtual one; each holds it an hour.
    # wtype writes its keymap to /tmp, which need not be writable by the user: where it is not,
    # wtype runs, for the session and its command, in namespaces of its own with an empty /tmp
    # that holds only this session's folder (the compositor's socket is there).
    if [[ ! -w /tmp ]]; then
        mkdir -p "$root/bin"
        cat >"$root/bin/wtype" <<'WTYPE'
#!/bin/sh
exec unshare --user --map-root-user --mount sh -c '
    mount -n --bind "$PENDRA_DESKTOP_ROOT" /mnt && mount -n -t tmpfs tmpfs /tmp &&
    mkdir -p "$PENDRA_DESKTOP_ROOT" && mount -n --move /mnt "$PENDRA_DESKTOP_ROOT" &&
    exec /usr/bin/wtype "$@"' wtype "$@"
WTYPE
        chmod +x "$root/bin/wtype"
        export PATH="$root/bin:$PATH"
    fi
    start keyboard bash -c 'while wtype -s 3600000; do :; done'
    seat_has_keyboard() { swaymsg -t get_seats 2>/dev/null | grep -q '"type": "keyboard"'; }
    if ! wait_for 10 seat_has_keyboard; then
        echo "desktop session: no keyboard came to the compositor's seat" >&2
        cat "$logs/keyboard.err" >&2
        exit 1
    fi
    session_variables=(WAYLAND_DISPLAY SWAYSOCK)
else
    start openbox openbox --sm-disable
    window_manager_runs() {
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"
    }
    if ! wait_for 10 window_manager_runs; then
        echo "desktop session: the window manager did not start" >&2
        exit 1
    fi
    session_variables=(DISPLAY)
fi
dbus-update-activation-environment "${session_variables[@]}" HOME XDG_CONFIG_HOME \
    XDG_DATA_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR TMPDIR >/dev/null 2>&1

# Started here rather than activated, so that its socket lands in this session's runtime folder.
start at-spi /usr/libexec/at-spi-bus-launcher --launch-immediately
if ! gdbus wait --session --timeout 10 org.a11y.Bus; then
    echo "desktop session: the accessibility bus did not start" >&2
    exit 1
fi
gdbus call --session --dest org.a11y.Bus --object-path /org/a11y/bus \
    --method org.freedesktop.DBus.Properties.Set org.a11y.Status IsEnabled '<true>' >/dev/null

"$@"
