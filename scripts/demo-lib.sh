# The step harness of the demonstrations, sourced by scripts/demo-steps.sh and
# scripts/demo-desktop-steps.sh: programs started in process groups of their own and ended with
# the script, numbered steps of checks, bounded waits, and the replies the listening main
# application printed to $logs/main.out. Set step_name (the word before a step's number) and
# logs before sourcing it. scripts/desktop-session.sh uses only the programs and the waits.

started=()
# Ends every started program with its group: asked first, so that a server removes its socket
# and its lock, then killed after at most two seconds. Safe to call again.
cleanup() {
    local pid _
    for pid in "${started[@]}"; do
        kill -TERM -- "-$pid" "$pid" 2>/dev/null
    done
    for _ in $(seq 20); do
        any_started_runs || break
        sleep 0.1
    done
    for pid in "${started[@]}"; do
        kill -KILL -- "-$pid" "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    started=()
}
any_started_runs() {
    local pid
    for pid in "${started[@]}"; do
        kill -0 "$pid" 2>/dev/null && return 0
    done
    return 1
}
trap cleanup EXIT
trap 'exit 143' TERM INT

steps=0
failed=0
step_failed=0
finish_step() {
    if ((steps > 0 && step_failed)); then
        failed=$((failed + 1))
    fi
    step_failed=0
}
step() {
    finish_step
    steps=$((steps + 1))
    echo
    echo "$step_name $steps: $1"
}
say() { echo "  $*"; }
check() {  # check "what should hold" command...
    local what="$1"
    shift
    if "$@"; then
        echo "  ok: $what"
    else
        echo "  NOT AS IT SHOULD BE: $what"
        step_failed=1
    fi
}
# Ends the script with how the steps went: summary "<what the steps are called>" "<logs note>"
summary() {
    finish_step
    echo
    if ((failed == 0)); then
        echo "All $steps $1 did what they should."
        exit 0
    fi
    echo "$failed of $steps $1 failed. ($2)"
    exit 1
}

# Bounded waits: poll until a command succeeds or the seconds are up.
wait_for() {  # wait_for seconds command...
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS >= deadline)) && return 1
        sleep 0.1
    done
}

start() {  # start name program arguments...: in a process group of its own; sets last_pid
    local name="$1"
    shift
    setsid "$@" >"$logs/$name.out" 2>"$logs/$name.err" &
    started+=($!)
    last_pid=$!
}

# The entries of the n-th autofill reply the listening main application printed, one a line.
reply_number() {  # reply_number n
    awk -v want="$1" '
        $0 == "reply PNDR/sqep" { n++; next }
        $0 == "reply end" { if (n == want) exit; next }
        n == want && /^qepp / { print }' "$logs/main.out"
}
replies() { grep -cxF "reply end" "$logs/main.out" 2>/dev/null; }
