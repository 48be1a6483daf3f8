#!/usr/bin/env bash
# Runs the demo briefly with the binaries of a build tree and checks what it
# leaves: its live lines, the CSV and the PNG.
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
grep -q "^  time_s   fps frame_ms_p95   jank   cpu0   cpu1   cpu2   cpu3   cpu4   cpu5   cpu6   cpu7  (MHz)$" "$log" ||
  fail "no live header"
live=$(grep -cE '^ +[0-9]+\.[0-9] +[0-9]+\.[0-9] +[0-9]+\.[0-9][0-9] +[0-9]+( +[0-9]+){8}$' "$log")
[ "$live" -eq "$seconds" ] || fail "$live live lines, not $seconds"
grep -q "^Summary: $seconds samples, $seconds with a frame rate$" "$log" || fail "no summary"
grep -q "in $out/demo-out/perfprobe.csv and the plot in $out/demo-out/perfprobe.png" "$log" ||
  fail "the demo does not say where its outputs are"

[ "$(head -1 "$csv")" = "time_s,fps,frames,window_ms,frame_ms_p50,frame_ms_p95,frame_ms_max,jank,big_jank,missed_vsyncs,refresh_hz,jank_ms,cpu0_khz,cpu1_khz,cpu2_khz,cpu3_khz,cpu4_khz,cpu5_khz,cpu6_khz,cpu7_khz" ] ||
  fail "CSV header: $(head -1 "$csv")"
rows=$(tail -n +2 "$csv" | wc -l)
[ "$rows" -eq "$seconds" ] || fail "$rows CSV rows, not $seconds"
# Every row: the time, a frame rate a 60 FPS game can show, the 60 Hz panel,
# and a frequency of the simulated phone's tables for every CPU.
tail -n +2 "$csv" | awk -F, -v n="$seconds" '
  NF != 20 { print "fields: " $0; bad = 1 }
  $1 !~ /^[0-9]+\.[0-9][0-9][0-9]$/ || $1 < NR - 0.5 || $1 > NR + 0.5 { print "time: " $0; bad = 1 }
  $2 !~ /^[0-9]+\.[0-9]$/ || $2 > 60.5 { print "fps: " $0; bad = 1 }
  $8 !~ /^[0-9]+$/ || $9 > $8 { print "jank: " $0; bad = 1 }
  $11 != "60.0" { print "refresh: " $0; bad = 1 }
  { for (i = 13; i <= 20; i++) if ($i !~ /^[0-9]+$/ || $i < 300000 || $i > 3200000) { print "kHz: " $0; bad = 1 } }
  END { exit bad }' || fail "CSV rows do not fit the simulated phone"
# The game draws 60 FPS in its first seconds, less in a second that a stall
# or jitter touched.
awk -F, 'NR > 2 && $2 >= 55 { ok = 1 } END { exit !ok }' "$csv" ||
  fail "no sample near the game's 60 FPS"

# The rates of steady games, beside GET_FPS's count.
grep -qE "^  a  60 FPS game on a  60 Hz panel: GET_FRAMESTATS fps   60\.0   GET_FPS   59$" "$log" ||
  fail "no comparison at 60 Hz"
grep -qE "^  a 120 FPS game on a 120 Hz panel: GET_FRAMESTATS fps  120\.0   GET_FPS +[0-9]+$" "$log" ||
  fail "no comparison at 120 Hz"

[ "$(head -c 8 "$png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "not a PNG"
size=$(od -An -tu1 -j16 -N8 "$png" | tr -s ' ' | sed 's/^ //')
[ "$size" = "0 0 5 0 0 0 5 70" ] || fail "PNG of unexpected size ($size)"
[ "$(stat -c %s "$png")" -gt 20000 ] || fail "the PNG is nearly empty"
echo "demo outputs checked"
