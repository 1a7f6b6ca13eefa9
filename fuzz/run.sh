#!/usr/bin/env bash
# Runs the libFuzzer targets built in BUILD (cmake -DZEL_FUZZ=ON with clang).
#
#   fuzz/run.sh long  BUILD SECONDS [TARGET...]   fuzz each target for SECONDS
#   fuzz/run.sh short BUILD SECONDS [TARGET...]   every committed seed once, then SECONDS each
#
# TARGET is ioctl, reg_file, value_list or wire (all by default). Each target grows a working
# corpus in BUILD/fuzz-corpus/<target>, starting from the committed seeds in
# fuzz/corpus/<target>; crashing inputs land in BUILD/fuzz-artifacts/<target>/. One process per
# target, one after the other, so a run takes one core. Prints the executions of each run.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:?mode: long or short}
build=${2:?build directory}
seconds=${3:?seconds per target}
shift 3
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(ioctl reg_file value_list wire)

# The stream-level targets run the machine's threads: libFuzzer's per-input leak check would
# scan the heap after nearly every input while those threads allocate, so they check their own
# handles and platform allocations after each input instead (the exit-time leak check stays).
options() {
    case $1 in
        ioctl) echo "-max_len=64 -detect_leaks=0 -timeout=30" ;;
        wire) echo "-max_len=256 -detect_leaks=0 -timeout=30" ;;
        reg_file) echo "-max_len=4096 -timeout=10" ;;
        value_list) echo "-max_len=512 -timeout=10" ;;
        *) echo "unknown fuzz target: $1" >&2; exit 2 ;;
    esac
}

status=0
for t in "${targets[@]}"; do
    opts=$(options "$t")
    bin="$build/fuzz/fuzz_$t"
    seeds="fuzz/corpus/$t"
    work="$build/fuzz-corpus/$t"
    artifacts="$build/fuzz-artifacts/$t/"
    log="$build/fuzz-$t.log"
    mkdir -p "$work" "$artifacts"
    if [ "$mode" = short ]; then
        # Every committed seed (among them the inputs of faults found and fixed) once.
        # shellcheck disable=SC2086
        if ! "$bin" $opts -artifact_prefix="$artifacts" "$seeds"/* >"$log" 2>&1; then
            echo "fuzz_$t: a committed seed fails, see $log" >&2
            tail -n 30 "$log" >&2
            status=1
            continue
        fi
    fi
    # shellcheck disable=SC2086
    if "$bin" $opts -artifact_prefix="$artifacts" -max_total_time="$seconds" -print_final_stats=1 \
        "$work" "$seeds" >"$log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        echo "fuzz_$t: ${runs:-?} executions in ${seconds} s, no fault"
    else
        echo "fuzz_$t: fault found, input in $artifacts, see $log" >&2
        grep -E "^(==|SUMMARY|[a-z_]+_fuzz:)" "$log" | head -n 20 >&2 || true
        status=1
    fi
done
exit $status
