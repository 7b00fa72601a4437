#!/bin/sh
# Runs every fuzz target of a build tree for a given time:
#     sh fuzz/run.sh BUILD-DIR SECONDS
# from the top of the source tree (`make fuzz SECONDS=N` does so). The
# targets are those BUILD-DIR/fuzz/targets.txt names. Each starts from its
# seed corpus (fuzz/corpus/NAME) and the inputs that once made it fail
# (fuzz/crashes/NAME); new inputs go to BUILD-DIR/fuzz-work/NAME, its log to
# BUILD-DIR/fuzz-logs/NAME.log, and an input that crashes, hangs, leaks or
# runs out of memory to BUILD-DIR/fuzz-findings/NAME/. A table of
# executions per target follows; the status is nonzero when a target
# failed, and the findings are then listed.
set -u
build=${1:?usage: fuzz/run.sh BUILD-DIR SECONDS}
seconds=${2:?usage: fuzz/run.sh BUILD-DIR SECONDS}
# Longest an input may run before it counts as a hang.
timeout=${FUZZ_TIMEOUT:-25}

stop() {
    echo "fuzz/run.sh: $*" >&2
    exit 2
}

list="$build/fuzz/targets.txt"
[ -f "$list" ] || stop "$list is missing: configure $build with -DCATALOGR_FUZZ=ON first"

failed=""
summary=""
for name in $(cat "$list"); do
    program="$build/fuzz/fuzz_$name"
    [ -x "$program" ] || stop "$program is not built"
    work="$build/fuzz-work/$name"
    findings="$build/fuzz-findings/$name"
    log="$build/fuzz-logs/$name.log"
    mkdir -p "$work" "$findings" "$(dirname "$log")"
    set -- "$work" "fuzz/corpus/$name"
    if [ -d "fuzz/crashes/$name" ]; then
        set -- "$@" "fuzz/crashes/$name"
    fi
    if [ -f "fuzz/$name.dict" ]; then
        set -- "$@" "-dict=fuzz/$name.dict"
    fi
    echo "== fuzz_$name for $seconds s (log $log)"
    status=0
    "$program" "$@" -max_total_time="$seconds" -timeout="$timeout" \
        -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1 || status=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
    # Edges covered and inputs in the corpus at the end, from the last
    # status line.
    cov=$(sed -n 's/.* cov: \([0-9]*\) .*/\1/p' "$log" | tail -n 1)
    corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' "$log" | tail -n 1)
    if [ "$status" -eq 0 ]; then
        result=passed
    else
        result="FAILED (status $status)"
        failed="$failed $name"
        tail -n 40 "$log"
    fi
    summary="$summary$(printf '%-8s %12s %8s %6s %6s  %s' "$name" "${execs:-?}" "${rate:-?}" \
        "${cov:-?}" "${corp:-?}" "$result")
"
done

echo
printf '%-8s %12s %8s %6s %6s  %s\n' target execs exec/s cov corpus result
printf '%s' "$summary"
if [ -n "$failed" ]; then
    echo
    echo "Failed:$failed. Findings (keep each, once fixed, in fuzz/crashes/<target>/):"
    for name in $failed; do
        ls -l "$build/fuzz-findings/$name"
    done
    exit 1
fi
