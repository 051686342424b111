#!/bin/sh
# Runs every fuzz target of a fuzz build for SECONDS each and prints one line per target.
# Each starts from a temporary copy of its seeds in corpus/<target>/, so the committed seeds
# never grow. Crash inputs and logs stay under BUILD_DIR/fuzz-results/. Exits 1 when any
# target crashed, leaked, timed out or did not run.
#   fuzz/run.sh BUILD_DIR SECONDS
set -eu
if [ $# -ne 2 ]; then
    echo "usage: fuzz/run.sh BUILD_DIR SECONDS" >&2
    exit 2
fi
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "$1/bin" && pwd)
seconds=$2
targets="fuzz_relay_response fuzz_token_response fuzz_callback_url fuzz_existing_gate_config
fuzz_encoders fuzz_instance_message fuzz_hook_answer"

results="$(cd "$1" && pwd)/fuzz-results"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

failed=0
for target in $targets; do
    out="$results/$target"
    rm -rf "$out"
    mkdir -p "$out" "$work/$target"
    cp "$here/corpus/$target/"* "$work/$target/"
    log="$out/log.txt"
    if [ ! -x "$bin/$target" ]; then
        echo "$target: FAILED, not built ($bin/$target)"
        failed=1
        continue
    fi
    status=0
    "$bin/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$out/" "$work/$target" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    seeds=$(find "$here/corpus/$target" -type f | wc -l)
    corpus=$(find "$work/$target" -type f | wc -l)
    artefact=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    if [ "$status" -eq 0 ] && [ -z "$artefact" ]; then
        echo "$target: ok, ${runs:-?} runs in ${seconds} s, corpus $seeds -> $corpus"
        continue
    fi
    failed=1
    # The sanitizer's or the check's own words say what broke.
    reason=$(grep -m 1 -E '^(==[0-9]+==ERROR|SUMMARY|fuzz check failed|.*runtime error)' "$log" || true)
    echo "$target: CRASHED (exit $status) after ${runs:-?} runs: ${reason:-see log}"
    echo "    input: ${artefact:-none written}"
    echo "    log:   $log"
done
exit "$failed"
