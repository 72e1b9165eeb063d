#!/usr/bin/env bash
# Builds the fuzzers (the "fuzz" preset, clang) and runs each for a bounded time, starting from
# its seed corpus in fuzz/corpus/<name>/. A crash ends the run with the fuzzer's report and a
# non-zero status; the input that crashed is kept as build/fuzz/crashes/crash-<hash>. Two run
# at a time, one a core.
#   scripts/fuzz.sh [seconds per fuzzer, default 60] [fuzzer names...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
shift || true

scripts/install-missing.sh clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

names=("$@")
if ((${#names[@]} == 0)); then
    for source in fuzz/*_fuzzer.cpp; do
        names+=("$(basename "$source" .cpp)")
    done
fi
mkdir -p build/fuzz/crashes
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Runs one fuzzer from a copy of its seeds (the repository's seeds are read, never written) and
# leaves its status in $work/<name>.status.
run() {
    local name="$1" corpus="$work/${1%_fuzzer}" status=0
    local options=()
    mkdir -p "$corpus"
    cp -r "fuzz/corpus/${name%_fuzzer}/." "$corpus/" 2>/dev/null || true
    # These keep one helper across inputs, as a running helper lives across requests, so an
    # input's allocations need not end with it; leaks are still looked for when the run ends.
    case "$name" in
        apple_event_fuzzer | callback_url_fuzzer) options+=(-detect_leaks=0) ;;
    esac
    "build/fuzz/fuzz/$name" "${options[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix=build/fuzz/crashes/ \
        -print_final_stats=1 "$corpus" >"$work/$name.log" 2>&1 || status=$?
    echo "$status" >"$work/$name.status"
}

# One fuzzer a core: two at a time.
for ((i = 0; i < ${#names[@]}; i += 2)); do
    run "${names[i]}" &
    if ((i + 1 < ${#names[@]})); then
        run "${names[i + 1]}" &
    fi
    wait
done
failed=0
for name in "${names[@]}"; do
    echo "== $name: ${seconds} s"
    grep -E "^stat::number_of_executed_units|^#[0-9]+.*DONE" "$work/$name.log" || true
    status="$(cat "$work/$name.status")"
    if ((status != 0)); then
        tail -n 60 "$work/$name.log" >&2
        echo "$name found a fault (exit $status)" >&2
        failed="$status"
    fi
done
exit "$failed"
