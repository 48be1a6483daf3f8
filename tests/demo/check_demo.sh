#!/usr/bin/env bash
# Runs the demo briefly with the binaries of a build tree and checks what it
# leaves: its live lines, the CSV, the PNG, the recording and its report,
# which Chromium opens and draws where it is installed.
#   check_demo.sh REPO BUILD_DIR
set -uo pipefail
repo=$1
build=$2
. "$repo/scripts/lib.sh"
if ! namespaces_permitted; then
  echo "SKIPPED: the demo needs private pid, mount and network namespaces (root)"
  exit 77
fi
seconds=5
out=$(mktemp -d /tmp/perfprobe-demo-check-XXXXXX)
trap 'rm -rf "$out"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}

log=$out/demo.log
bash "$repo/scripts/demo.sh" --seconds "$seconds" --out "$out/demo-out" --prebuilt "$build" \
  >"$log" 2>&1
status=$?
cat "$log"
[ $status -eq 0 ] || fail "the demo exited with status $status"

csv=$out/demo-out/perfprobe.csv
png=$out/demo-out/perfprobe.png
grep -q "^  time_s   fps frame_ms_p95   jank cluster0-3 cluster4-6 cluster7 cpu_load_pct gpu_busy_pct temp_hottest_c battery_mw  (MHz)$" "$log" ||
  fail "no live header"
live=$(grep -cE '^ +[0-9]+\.[0-9] +[0-9]+\.[0-9] +[0-9]+\.[0-9][0-9] +[0-9]+( +[0-9]+){3}( +[0-9]+\.[0-9]){3} +-?[0-9]+$' "$log")
[ "$live" -eq "$seconds" ] || fail "$live live lines, not $seconds"
grep -q "^Summary: $seconds samples, $seconds with a frame rate$" "$log" || fail "no summary"
grep -q "in $out/demo-out/perfprobe.csv and the plot in $out/demo-out/perfprobe.png" "$log" ||
  fail "the demo does not say where its outputs are"

header=$(head -1 "$csv")
case $header in
  time_s,fps,frames,window_ms,frame_ms_p50,frame_ms_p95,frame_ms_max,jank,big_jank,missed_vsyncs,refresh_hz,jank_ms,source,os_jank,os_jank_app,os_jank_sf,cpu0_khz,cpu1_khz,cpu2_khz,cpu3_khz,cpu4_khz,cpu5_khz,cpu6_khz,cpu7_khz,*) ;;
  *) fail "CSV header: $header" ;;
esac
for name in cluster0-3_khz cluster7_max_khz cpu_load_pct cpu7_load_pct gpu_khz gpu_busy_pct \
  temp_xo_therm_c temp_battery_2_c temp_hottest_c battery_mw battery_ma mem_available_kb \
  app_pids app_cpu_pct app_rss_kb probe_cpu_pct probe_rss_kb; do
  case ",$header," in *",$name,"*) ;; *) fail "no $name column" ;; esac
done
rows=$(tail -n +2 "$csv" | wc -l)
[ "$rows" -eq "$seconds" ] || fail "$rows CSV rows, not $seconds"
# Every row: the time, a frame rate a 60 FPS game can show, the 60 Hz panel,
# where its frames came from, and a frequency of the simulated phone's
# tables for every CPU.
tail -n +2 "$csv" | awk -F, -v n="$seconds" -v columns="$(echo "$header" | awk -F, '{ print NF }')" '
  NF != columns { print "fields: " $0; bad = 1 }
  $1 !~ /^[0-9]+\.[0-9][0-9][0-9]$/ || $1 < NR - 0.5 || $1 > NR + 0.5 { print "time: " $0; bad = 1 }
  $2 !~ /^[0-9]+\.[0-9]$/ || $2 > 60.5 { print "fps: " $0; bad = 1 }
  $8 !~ /^[0-9]+$/ || $9 > $8 { print "jank: " $0; bad = 1 }
  $11 != "60.0" { print "refresh: " $0; bad = 1 }
  $13 !~ /^(latency|timestats)$/ { print "source: " $0; bad = 1 }
  { for (i = 17; i <= 24; i++) if ($i !~ /^[0-9]+$/ || $i < 300000 || $i > 3200000) { print "kHz: " $0; bad = 1 } }
  END { exit bad }' || fail "CSV rows do not fit the simulated phone"
# The game draws 60 FPS in its first seconds, less in a second that a stall
# or jitter touched.
awk -F, 'NR > 2 && $2 >= 55 { ok = 1 } END { exit !ok }' "$csv" ||
  fail "no sample near the game's 60 FPS"

# The device statistics of the simulated phone: its game's process, a phone
# warming up from 35 °C, a battery draining, and what measuring costs.
awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
  function v(name) { return $(col[name]) }
  v("app_pids") < 1 || v("app_rss_kb") < 20000 { print "app: " $0; bad = 1 }
  v("temp_hottest_c") < 30 || v("temp_hottest_c") > 50 { print "temperature: " $0; bad = 1 }
  v("battery_mw") >= 0 || v("battery_ma") >= 0 { print "battery: " $0; bad = 1 }
  v("cpu_load_pct") < 0 || v("cpu_load_pct") > 100 || v("gpu_busy_pct") > 100 { print "load: " $0; bad = 1 }
  v("probe_rss_kb") <= 0 || v("probe_cpu_pct") == "" { print "probe: " $0; bad = 1 }
  END { exit bad }' "$csv" || fail "the device statistics do not fit the simulated phone"

# The rates of steady games, beside GET_FPS's count.
grep -qE "^  a  60 FPS game on a  60 Hz panel: GET_FRAMESTATS fps   60\.0   GET_FPS   59$" "$log" ||
  fail "no comparison at 60 Hz"
grep -qE "^  a 120 FPS game on a 120 Hz panel: GET_FRAMESTATS fps  120\.0   GET_FPS +[0-9]+$" "$log" ||
  fail "no comparison at 120 Hz"
# Every frame of the phones whose latency outputs fail: Android 14 QPR2's
# time statistics count them, give or take one at the window's ends; 64-row
# outputs are read between ticks.
grep -qE "^  Android 14 QPR2, no layer listed: fps 1(19|2[01])\.[0-9], 1[12][0-9] frames a tick from timestats; GET_FPS 11[0-9]$" "$log" ||
  fail "no frame rate from the time statistics"
grep -qE "^  64-row outputs, 120 FPS: fps 120\.0, 1[12][0-9] frames a tick from latency; GET_FPS [0-9]+$" "$log" ||
  fail "frames lost from 64-row outputs"

[ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "not a PNG"
size=$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ' | sed 's/^ //')
[ "$size" = "0 0 5 0 0 0 12 78" ] || fail "PNG of unexpected size ($size)"
[ "$(stat -c %s "$png")" -gt 20000 ] || fail "the PNG is nearly empty"
# The recording: a header, a line per sample, the marker the demo typed, and
# the summary last; and its report, which names the marker.
record=$out/demo-out/perfprobe.jsonl
report=$out/demo-out/report.html
head -1 "$record" | grep -q '^{"perfprobe_recording":2,"device":{"host":"127.0.0.1","port":8080},"package":"com.example.game",' ||
  fail "recording header: $(head -c 200 "$record")"
[ "$(grep -c '^{"t":[0-9.]*,"v":\[' "$record")" -eq "$seconds" ] || fail "not $seconds samples recorded"
grep -q '^{"t":[0-9.]*,"mark":"heavy scene"}$' "$record" || fail "no marker recorded"
tail -1 "$record" | grep -q '^{"summary":{"samples":'"$seconds"',' || fail "no summary at the recording's end"
grep -q "The report (open it in a browser): $report$" "$log" || fail "the demo does not name its report"
grep -q 'heavy scene' "$report" || fail "the report has no marker"
browser_test=$repo/tests/browser/report_test.mjs
if command -v node >/dev/null && [ -x /usr/bin/chromium ] && [ -d "$repo/node_modules/playwright-core" ]; then
  node "$browser_test" --smoke "$report" || fail "the report does not open clean with every chart"
else
  echo "NOTE: no node, Chromium or playwright-core here: the report is not opened in a browser"
fi
echo "demo outputs checked"
