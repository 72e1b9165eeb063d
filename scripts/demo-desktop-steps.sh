#!/usr/bin/env bash
# The helper on a real desktop: a real browser showing a local page and two real editors with a
# file each, each in front in turn and captured through an invoke request, then a screenshot of
# the screen. Run by scripts/demo.sh inside scripts/desktop-session.sh, as root and as a user
# without privileges.
#   demo-desktop-steps.sh <build folder> <folder for the logs and the screenshot>
set -uo pipefail
build="$1"
logs="$2"
mkdir -p "$logs"
apps="$PENDRA_DESKTOP_ROOT/Applications"
export PENDRA_APPLICATIONS_PATH="$apps" PENDRA_LOG_TO_STDERR=1
MAIN="$apps/PendraMac.app/Contents/MacOS/PendraMac"
installed="$XDG_DATA_HOME/Pendra Sandbox Helper/PendraMacSandboxHelper.app"

step_name="Desktop step"
source "$(dirname "$0")/demo-lib.sh"

helper_answers() { "$MAIN" version --timeout 2 >/dev/null 2>&1; }
window_of() { xdotool search --onlyvisible --class "$1" 2>/dev/null | head -n 1; }
has_window() { [[ -n "$(window_of "$1")" ]]; }

# Captures with the application of a window class in front; prints what came back.
capture() {  # capture class title link
    local window before reply
    window=$(window_of "$1")
    xdotool windowactivate --sync "$window" >/dev/null 2>&1
    before=$(replies)
    "$MAIN" invoke >/dev/null 2>>"$logs/invoke.err"
    wait_for 20 test "$(replies)" -gt "$before"
    reply=$(reply_number $((before + 1)))
    say "The reply: $(tr '\n' ' ' <<<"$reply")"
    check "its title is \"$2\"" grep -qxF "qepp pnam 'utxt' \"$2\"" <<<"$reply"
    check "its link is $3" grep -qxF "qepp note 'utxt' \"$3\"" <<<"$reply"
}

step "The helper and the main application on a desktop session"
mkdir -p "$apps" "$(dirname "$installed")" "$HOME/Documents"
cp -r "$build/devtools-bundles/PendraMac.app" "$apps/"
cp -r "$build/bundles/PendraMacSandboxHelper.app" "$installed"
start helper "$installed/Contents/MacOS/PendraMacSandboxHelper"
check "the helper answers" wait_for 30 helper_answers
start main "$MAIN" --listen-seconds 300
check "the main application listens" wait_for 15 grep -qxF "arguments end" "$logs/main.out"

step "Chromium in front, showing a local page"
page="$HOME/Documents/Welcome.html"
echo "<html><head><title>Welcome Page</title></head><body><h1>Welcome</h1></body></html>" >"$page"
chromium_flags=(--force-renderer-accessibility --no-first-run --no-default-browser-check
                --disable-gpu --password-store=basic --user-data-dir="$PENDRA_DESKTOP_ROOT/chromium")
((EUID == 0)) && chromium_flags+=(--no-sandbox)
start chromium chromium "${chromium_flags[@]}" "file://$page"
check "its window shows" wait_for 60 has_window chromium
sleep 2  # the page's tree follows its window
capture chromium "Welcome Page" "file://$page"

step "gedit in front, with a file"
file="$HOME/Documents/Shopping List.txt"
printf 'bread\nmilk\n' >"$file"
start gedit gedit "$file"
check "its window shows" wait_for 60 has_window gedit
capture gedit "Shopping List.txt" "file://$HOME/Documents/Shopping%20List.txt"

step "Mousepad in front, with a file"
notes="$HOME/Documents/Packing List.txt"
printf 'tent\nmap\n' >"$notes"
start mousepad mousepad "$notes"
check "its window shows" wait_for 60 has_window mousepad
say "Its title: $(xdotool getwindowname "$(window_of mousepad)" 2>/dev/null)"
capture mousepad "Packing List.txt" "file://$HOME/Documents/Packing%20List.txt"

step "A screenshot of the screen"
import -window root "$logs/desktop.png" 2>/dev/null
check "saved as $logs/desktop.png" test -s "$logs/desktop.png"

summary "desktop steps" "The logs: $logs"
