#!/bin/sh
# Runs every fuzz target of a build for FUZZ_SECONDS seconds each (default
# 60), starting from the seed corpus in fuzz/corpus/<target>. New inputs go
# to <build>/fuzz/corpus/<target>, crashes to <build>/fuzz/artifacts. Ends
# with one line per target: "fuzz_<target>_execs: <count> execs".
# Usage: fuzz/run_all.sh BUILD_DIR
set -u
build=${1:?usage: fuzz/run_all.sh BUILD_DIR}
seconds=${FUZZ_SECONDS:-60}
here=$(cd "$(dirname "$0")" && pwd)
out="$build/fuzz"
mkdir -p "$out/artifacts" "$out/logs"

summary=""
failed=""
for target in fuzz_receive_path fuzz_monitor fuzz_monitor_ext fuzz_capture fuzz_ini fuzz_cli_decode fuzz_sim_station; do
    bin="$out/$target"
    if [ ! -x "$bin" ]; then
        echo "fuzz/run_all.sh: $bin was not built" >&2
        failed="$failed $target"
        continue
    fi
    corpus="$out/corpus/$target"
    seeds="$here/corpus/$target"
    mkdir -p "$corpus"
    log="$out/logs/$target.log"
    echo "== $target ($seconds s)"
    # The first corpus folder receives new inputs; the seeds stay untouched.
    # (Sanitizer findings abort the input: libFuzzer then saves it as a crash.)
    if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/artifacts/$target-" "$corpus" "$seeds" >"$log" 2>&1; then
        :
    else
        echo "fuzz/run_all.sh: $target found a fault, see $log" >&2
        tail -n 40 "$log" >&2
        failed="$failed $target"
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary="$summary
${target}_execs: ${execs:-0} execs"
    sed -n '/^Done [0-9]* runs/p' "$log"
done

echo
echo "== summary$summary"
if [ -n "$failed" ]; then
    echo "fuzz targets with findings:$failed" >&2
    exit 1
fi
