#!/usr/bin/env bash
# One session of the helper with its counterparts, step by step; run by scripts/demo.sh inside a
# private session bus with the home, XDG folders and applications folder it prepared.
#   demo-steps.sh <session folder> <build folder>
set -uo pipefail
root="$1"
build="$2"
logs="$root/logs"
apps="$PENDRA_APPLICATIONS_PATH"
helper_id=com.orvano.PendraMacSandboxHelper
MAIN="$apps/PendraMac.app/Contents/MacOS/PendraMac"
SAMPLE="$apps/Sample Document.app/Contents/MacOS/SampleDocument"
CALLBACK="$apps/Sample Callback.app/Contents/MacOS/SampleDocument"
installed="$XDG_DATA_HOME/Pendra Sandbox Helper/PendraMacSandboxHelper.app"
autostart="$XDG_CONFIG_HOME/autostart"
document_url="file://$HOME/Documents/Quarterly%20Report.txt"
notes_url="file://$HOME/Documents/Meeting%20Notes.txt"

step_name=Step
source "$(dirname "$0")/demo-lib.sh"

has_line() { grep -qxF -- "$2" "$1" 2>/dev/null; }
has_text() { grep -qF -- "$2" "$1" 2>/dev/null; }
gone() { [[ ! -e "$1" ]]; }
no_login_item() { ! grep -rqs "PendraMacSandboxHelper" "$autostart"; }
has_login_item() { grep -rqs "PendraMacSandboxHelper" "$autostart"; }
process_gone() { ! kill -0 "$1" 2>/dev/null; }
pid_of() {  # the process that runs the executable
    local exe pid
    for exe in /proc/[0-9]*/exe; do
        if [[ "$(readlink "$exe" 2>/dev/null)" == "$1" ]]; then
            pid=${exe#/proc/}
            echo "${pid%/exe}"
            return
        fi
    done
}

# The value of one entry of a reply's lines, as printed (quoted, with \n for line feeds).
entry() { sed -n "s/^qepp $2 'utxt' //p" <<<"$1"; }
# A printed value as a person reads it: without quotes, line feeds shown as "⏎".
readable() { sed -e 's/^"//' -e 's/"$//' -e 's/\\n/⏎/g' <<<"$1"; }

# A copy of the sample application under another identifier and name: an application that
# cannot be asked for its document and answers through the helper's callback URL instead.
cp -r "$build/devtools-bundles/PendraMac.app" "$build/devtools-bundles/Sample Document.app" \
    "$apps/"
cp -r "$build/devtools-bundles/Sample Document.app" "$apps/Sample Callback.app"
sed -i -e 's|<string>com.orvano.SampleDocument</string>|<string>com.orvano.SampleCallback</string>|' \
    -e 's|<string>Sample Document</string>|<string>Sample Callback</string>|' \
    "$apps/Sample Callback.app/Contents/Info.plist"

# The helper as downloaded, with a connector for that application added to its table: it opens
# the application's URL, and its callback handler turns the answer into a title and a link.
download="$root/Downloads/PendraMacSandboxHelper.app"
cp -r "$build/bundles/PendraMacSandboxHelper.app" "$download"
table="$download/Contents/Resources/ApplicationConnectors.plist"
cat >"$root/connector.xml" <<'END'
	<key>com.orvano.samplecallback</key>
	<dict>
		<key>URL</key>
		<string>pendrasample://x-callback-url/getCurrentDocument?x-success=pendrahelper%3A%2F%2Fquickentry</string>
		<key>CallbackHandler</key>
		<string>on handle_callback(params)
	set theTitle to |title| of params
	set theNotes to "[url=" &amp; |url| of params &amp; "]" &amp; theTitle &amp; "[/url]"
	return {theTitle, theNotes}
end handle_callback</string>
	</dict>
END
awk -v extra="$root/connector.xml" '
    { print }
    !done && $0 == "<dict>" { while ((getline line < extra) > 0) print line; done = 1 }' \
    "$table" >"$table.new" && mv "$table.new" "$table"

echo "A private session: home $HOME, applications in $apps."

# ---------------------------------------------------------------------------------------------
step "The helper installs itself and tells the main application"
start main "$MAIN" --listen-seconds 140
main_pid=$last_pid
wait_for 15 has_line "$logs/main.out" "arguments end"
say "The main application (PendraMac) runs and listens for the helper."
start downloaded "$download/Contents/MacOS/PendraMacSandboxHelper"
say "The helper starts from the Downloads folder..."
installed_note="notification PendraMacSandboxHelperDidInstallNotification"
launched_note="notification PendraMacSandboxHelperDidLaunchNotification"
wait_for 30 has_line "$logs/main.out" "$launched_note"
check "it moved itself to ~/.local/share/Pendra Sandbox Helper/ and started again from there" \
    test -x "$installed/Contents/MacOS/PendraMacSandboxHelper"
check "the main application was told that the helper was installed" \
    has_line "$logs/main.out" "$installed_note"
check "...and then that it was launched" has_line "$logs/main.out" "$launched_note"
wait_for 10 has_login_item
check "it keeps a login item, so it starts with the session: $(ls "$autostart" 2>/dev/null | head -1)" \
    has_login_item
helper_pid=$(pid_of "$installed/Contents/MacOS/PendraMacSandboxHelper")

# ---------------------------------------------------------------------------------------------
step "Asking the helper what the person is looking at"
start sample "$SAMPLE" --name "Quarterly Report.txt" --url "$document_url" --run-seconds 140
sample_pid=$last_pid
wait_for 15 has_text "$logs/sample.out" "frontmost "
say "Sample Document is now the frontmost application, with \"Quarterly Report.txt\" open."
say "The main application sends the invoke request with its own note \"Call Ana about it\","
say "title \"My draft\" and tags \"work, q3\"."
before=$(replies)
"$MAIN" invoke --note "Call Ana about it" --title "My draft" --tags "work, q3" --timeout 10 \
    >"$logs/invoke.out" 2>"$logs/invoke.err"
check "the helper accepted the request" has_line "$logs/invoke.out" "answer pdiv status 0"
wait_for 15 test "$(replies)" -gt "$before"
reply=$(reply_number $((before + 1)))
say "The helper asked Sample Document for its front document and answered:"
say "  title: $(readable "$(entry "$reply" pnam)")"
say "  notes: $(readable "$(entry "$reply" note)")"
say "  tags:  $(readable "$(entry "$reply" tnam)")"
check "the title is the document's name, in place of the caller's" \
    test "$(entry "$reply" pnam)" = '"Quarterly Report.txt"'
check "the notes hold the document's link, then the caller's note" \
    test "$(entry "$reply" note)" = "\"$document_url\\n\\nCall Ana about it\""
check "the caller's tags come back unchanged" test "$(entry "$reply" tnam)" = '"work, q3"'

# ---------------------------------------------------------------------------------------------
step "A Services request with selected text"
say "In Sample Document, the person selects \"Revenue grew 12% in Q3.\" and chooses the"
say "helper's entry in the Services menu."
before=$(replies)
"$SAMPLE" services --selection "Revenue grew 12% in Q3." --types NSStringPboardType \
    >"$logs/services.out" 2>"$logs/services.err"
check "the helper took the request" \
    has_line "$logs/services.out" "services quickEntryWithAutofill status 0"
wait_for 15 test "$(replies)" -gt "$before"
reply=$(reply_number $((before + 1)))
say "The main application got: title $(readable "$(entry "$reply" pnam)"), notes $(readable "$(entry "$reply" note)")"
check "the notes hold the selection, then the document's link" \
    test "$(entry "$reply" note)" = "\"Revenue grew 12% in Q3.\\n\\n$document_url\\n\\n\""

# ---------------------------------------------------------------------------------------------
step "A capture refused for lack of permission"
kill "$sample_pid" 2>/dev/null
wait "$sample_pid" 2>/dev/null
start refusing "$SAMPLE" --name "Quarterly Report.txt" --url "$document_url" --run-seconds 140 \
    --refuse-sender "$helper_id"
sample_pid=$last_pid
wait_for 15 has_text "$logs/refusing.out" "frontmost "
say "Sample Document runs again, but now the person has not allowed the helper to script it."
before=$(replies)
"$MAIN" invoke --timeout 10 >"$logs/refused.out" 2>"$logs/refused.err"
missing="PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification"
wait_for 15 has_line "$logs/main.out" "notification $missing"
check "Sample Document refused the helper's question" has_text "$logs/refusing.out" "refused core/getd"
check "the main application was told that permission is missing for \"Sample Document\"" \
    has_line "$logs/main.out" "notification-info $missing ApplicationName \"Sample Document\""
sleep 1
check "and no answer came" test "$(replies)" -eq "$before"
kill "$sample_pid" 2>/dev/null
wait "$sample_pid" 2>/dev/null

# ---------------------------------------------------------------------------------------------
step "An application that answers through the helper's callback URL"
start callback "$CALLBACK" --name "Meeting Notes.txt" --url "$notes_url" --run-seconds 140
callback_pid=$last_pid
wait_for 15 has_text "$logs/callback.out" "frontmost "
say "Sample Callback is frontmost with \"Meeting Notes.txt\"; its connector is a URL, not a script."
before=$(replies)
"$MAIN" invoke --timeout 10 >"$logs/url.out" 2>"$logs/url.err"
wait_for 15 test "$(replies)" -gt "$before"
opened=$(sed -n 's/^url-received "\(.*\)"$/\1/p' "$logs/callback.out" | head -1)
answered=$(sed -n 's/^opened "\(.*\)"$/\1/p' "$logs/callback.out" | head -1)
say "The helper opened:         ${opened:-nothing}"
say "Sample Callback answered:  ${answered:-nothing}"
reply=$(reply_number $((before + 1)))
say "The callback handler made: title $(readable "$(entry "$reply" pnam)"), notes $(readable "$(entry "$reply" note)")"
check "the helper opened the connector's URL" \
    test "$opened" = "pendrasample://x-callback-url/getCurrentDocument?x-success=pendrahelper%3A%2F%2Fquickentry"
check "the application called back with its document" \
    has_text "$logs/callback.out" 'opened "pendrahelper://quickentry?title=Meeting%20Notes.txt'
check "the main application got the title and a link to the document" \
    test "$(entry "$reply" pnam)" = '"Meeting Notes.txt"' -a \
    "$(entry "$reply" note)" = "\"[url=$notes_url]Meeting Notes.txt[/url]\""
kill "$callback_pid" 2>/dev/null
wait "$callback_pid" 2>/dev/null

# ---------------------------------------------------------------------------------------------
step "Asking the helper for its version"
"$MAIN" version --timeout 10 >"$logs/version.out" 2>"$logs/version.err"
major=$(sed -n "s/^pdmj 'long' //p" "$logs/version.out")
minor=$(sed -n "s/^pdmi 'long' //p" "$logs/version.out")
bundle_version=$(sed -n '/<key>CFBundleVersion<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' \
    "$installed/Contents/Info.plist")
say "The helper answers version ${major:-?}.${minor:-?} (its bundle version is $bundle_version)."
check "the answer has no error" has_line "$logs/version.out" "answer pdvn status 0"
check "major and minor version are the bundle version's hundreds and the rest" \
    test "${major:-x}" = "$((bundle_version / 100))" -a "${minor:-x}" = "$((bundle_version % 100))"

# ---------------------------------------------------------------------------------------------
step "Disabling the helper"
"$MAIN" disable --timeout 10 >"$logs/disable.out" 2>"$logs/disable.err"
check "the helper accepted the request" has_text "$logs/disable.out" "status 0"
wait_for 20 gone "$installed"
wait_for 5 no_login_item
[[ -n "${helper_pid:-}" ]] && wait_for 10 process_gone "$helper_pid"
check "the helper has ended" test -n "${helper_pid:-}" -a ! -e "/proc/${helper_pid:-0}"
check "its bundle is gone from ~/.local/share/Pendra Sandbox Helper/" gone "$installed"
check "its login item is gone" no_login_item

summary steps "The session's logs: $logs; keep them with PENDRA_DEMO_KEEP=1."
