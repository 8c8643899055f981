#!/bin/sh
# Runs every benchmark program of a build and repeats their figures in one
# summary at the end, one line per figure: "<figure>: <value> <unit>".
# Usage: run_all.sh BUILD_DIR
set -u
build=${1:?usage: run_all.sh BUILD_DIR}
dir="$build/bench"
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT INT TERM
export BUSPROBE_BENCH_SUMMARY="$summary"
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}

status=0
for prog in bench_decode bench_decode_file bench_cv_read bench_slots bench_tx_latency bench_lntcp bench_logview bench_window; do
    if [ ! -x "$dir/$prog" ]; then
        echo "run_all.sh: $prog was not built, left out" >&2
        continue
    fi
    echo "== $prog"
    "$dir/$prog" || { echo "run_all.sh: $prog failed" >&2; status=1; }
done

echo
echo "== summary"
cat "$summary"

# The goals: decoding and the receive path at least 1,000 times a saturated
# bus (which carries well under 1,000 messages a second), and so the whole
# busprobe-cli decode of a capture file; the log view at a
# million lines within 1.5 times its cost at a thousand; the paced read
# within 1.5 times its bus floor plus 10 ms; a read noticed at once well
# under 50 ms against at least 500 ms with plain polling; a queued message
# on the bus within 100 ms (p99) through an MS100 while other nodes keep the
# bus as full as LocoNet's rules allow, and never started inside another
# node's message or the idle time after it; the read
# through our LocoNet-over-TCP server within 2 ms of the pseudo-terminal's;
# one bus message reaching 32 TCP clients within 5 ms (99th percentile); a
# filter applied to a full view under 100 ms; the window under 5 % of a core
# on a saturated bus, with the Slots and Sensors windows open too, and under
# 100 MB holding a full view; every loco slot read within 1.5 times its bus
# floor.
echo
echo "== goals"
awk '
    { v[$1] = $2 }
    function goal(ok, text) { printf "%s  %s\n", (ok ? "holds" : "FAILS"), text }
    function have(k) { return (k ":") in v }
    function val(k) { return v[k ":"] + 0 }
    END {
        if (have("monitor_decode_msgs_per_s"))
            goal(val("monitor_decode_msgs_per_s") >= 1000000, "monitor_decode_msgs_per_s >= 1000000")
        if (have("decode_file_msgs_per_s"))
            goal(val("decode_file_msgs_per_s") >= 1000000, "decode_file_msgs_per_s >= 1000000")
        if (have("receive_path_msgs_per_s"))
            goal(val("receive_path_msgs_per_s") >= 1000000, "receive_path_msgs_per_s >= 1000000")
        if (have("logview_append_us_at_1k") && have("logview_append_us_at_1m"))
            goal(val("logview_append_us_at_1m") <= 1.5 * val("logview_append_us_at_1k"),
                 "logview_append_us_at_1m <= 1.5 x logview_append_us_at_1k")
        if (have("cv_read_direct_ms_paced") && have("cv_read_direct_bus_floor_ms"))
            goal(val("cv_read_direct_ms_paced") <= 1.5 * val("cv_read_direct_bus_floor_ms") + 10,
                 "cv_read_direct_ms_paced <= 1.5 x cv_read_direct_bus_floor_ms + 10")
        if (have("cv_read_direct_ms_tcp") && have("cv_read_direct_ms_wake"))
            goal(val("cv_read_direct_ms_tcp") <= val("cv_read_direct_ms_wake") + 2,
                 "cv_read_direct_ms_tcp <= cv_read_direct_ms_wake + 2")
        if (have("serve_fanout_ms_p99_32_clients"))
            goal(val("serve_fanout_ms_p99_32_clients") < 5, "serve_fanout_ms_p99_32_clients < 5")
        if (have("cv_read_direct_ms_wake") && have("cv_read_direct_ms_poll"))
            goal(val("cv_read_direct_ms_wake") < 50 && val("cv_read_direct_ms_poll") >= 500,
                 "cv_read_direct_ms_wake < 50 and cv_read_direct_ms_poll >= 500")
        if (have("logview_filter_ms_at_200k"))
            goal(val("logview_filter_ms_at_200k") < 100, "logview_filter_ms_at_200k < 100")
        if (have("window_cpu_pct_at_bus_max"))
            goal(val("window_cpu_pct_at_bus_max") < 5, "window_cpu_pct_at_bus_max < 5")
        if (have("window_rss_mb_at_200k_lines"))
            goal(val("window_rss_mb_at_200k_lines") < 100, "window_rss_mb_at_200k_lines < 100")
        if (have("tx_latency_ms_p99_ms100_rule_bus"))
            goal(val("tx_latency_ms_p99_ms100_rule_bus") < 100, "tx_latency_ms_p99_ms100_rule_bus < 100")
        if (have("tx_starts_inside_others_ms100_rule_bus"))
            goal(val("tx_starts_inside_others_ms100_rule_bus") == 0, "tx_starts_inside_others_ms100_rule_bus == 0")
    }' "$summary"
exit $status
