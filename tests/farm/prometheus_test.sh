#!/usr/bin/env bash
# The exporter end to end: twenty simulated phones, each a perfprobed in
# namespaces of its own, watched by `perfprobe exporter` and scraped every
# second by a real Prometheus. What Prometheus stores must be what the phones
# are: every phone up, its game's frame rate and its CPU clocks; and when one
# phone dies, its perfprobe_up turns 0 while the others' samples go on.
#
#   prometheus_test.sh BUILD_DIR
#
# Exit status 77 where private namespaces are not permitted or a tool it
# needs (Prometheus, python3, ip, nsenter) is missing.
set -uo pipefail
self=$(readlink -f "$0")
here=$(dirname "$self")
prometheus=/usr/bin/prometheus

if [ "${1:-}" != --inside ]; then
  build=$(readlink -f "${1:?usage: prometheus_test.sh BUILD_DIR}")
  . "$here/../../scripts/lib.sh"
  if ! namespaces_permitted; then
    echo "SKIPPED: the farm needs private pid, mount and network namespaces (root)"
    exit 77
  fi
  if [ ! -x "$prometheus" ]; then
    echo "SKIPPED: no $prometheus (Debian package prometheus)"
    exit 77
  fi
  for tool in python3 ip nsenter; do
    if ! command -v "$tool" >/dev/null; then
      echo "SKIPPED: no $tool here"
      exit 77
    fi
  done
  # --kill-child: should CTest kill this test on its timeout, the
  # namespaces and all in them end with it.
  exec unshare --pid --kill-child --mount-proc --mount --net bash "$self" --inside "$build"
fi

# From here on this is the first process of private namespaces: its end
# ends the phones, the exporter and Prometheus, and nothing it does reaches
# the host's network.
build=$2
. "$here/farm.sh"
phones=20
killed=7
package=com.example.game
# Any port is free in a network namespace this new.
exporter_port=9464
prometheus_port=9090
prom_url=http://127.0.0.1:$prometheus_port
work=$(mktemp -d /tmp/perfprobe-farm-XXXXXX)
exporter_pid=

cleanup() {
  [ -n "$exporter_pid" ] && kill "$exporter_pid" 2>/dev/null
  farm_stop
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- the exporter's output:"
  tail -n 20 "$work/exporter.log"
  echo "--- Prometheus' output:"
  tail -n 20 "$work/prometheus.log"
  echo "--- d0 on the exporter's page now:"
  python3 -c 'import sys, urllib.request; print(urllib.request.urlopen(sys.argv[1], timeout=5).read().decode())' \
    "http://127.0.0.1:$exporter_port/metrics" 2>&1 | grep -v '_bucket{' | grep -E 'device="d0"|Error' | head -n 60
  exit 1
}

q() { python3 "$here/promql.py" "$prom_url" query "$1"; }

ip link set lo up
echo "Starting $phones phones"
farm_start "$phones" "$work" "$build" || fail "the farm did not start"

devices=()
for ((i = 0; i < phones; i++)); do devices+=(--device "d$i=$(farm_address "$i")"); done
# Every try of a poll ends within 0.9 intervals: two seconds leave a phone
# slow to answer on a loaded machine the time to, while Prometheus still
# scrapes every second.
"$build/bin/perfprobe" exporter --listen "0.0.0.0:$exporter_port" "${devices[@]}" \
  --package "$package" --interval 2 >"$work/exporter.log" 2>&1 &
exporter_pid=$!
serving="perfprobe exporter: serving http://0.0.0.0:$exporter_port/metrics for $phones devices"
deadline=$((SECONDS + 30))
until grep -qxF "$serving" "$work/exporter.log"; do
  kill -0 "$exporter_pid" 2>/dev/null || fail "the exporter ended"
  [ $SECONDS -lt $deadline ] || fail "the exporter did not say \"$serving\" within 30 s"
  sleep 0.1
done

# A browser accepts brotli too: from afar the page comes gzipped, never in
# brotli, whose slowest quality the server library would spend most of a
# second on; over loopback it comes as it is.
encoding_from() {
  curl -s -o /dev/null -D - -H 'Accept-Encoding: gzip, deflate, br' "http://$1:$exporter_port/metrics" |
    tr -d '\r' | sed -n 's/^[Cc]ontent-[Ee]ncoding: //p'
}
afar=$(farm_address 0)
afar=${afar%.2}.1
encoding=$(encoding_from "$afar")
[ "$encoding" = gzip ] || fail "a browser's request from $afar got the encoding \"$encoding\", not gzip"
encoding=$(encoding_from 127.0.0.1)
[ -z "$encoding" ] || fail "a request over loopback got the encoding \"$encoding\""
page=$(curl -s --compressed "http://$afar:$exporter_port/metrics")
grep -qx '# TYPE perfprobe_up gauge' <<<"$page" || fail "the gzipped page does not read back"

farm_prometheus "$prometheus" "$work" "$exporter_port" "$prometheus_port" ||
  fail "Prometheus did not start"

# wait_for SECONDS WHAT COMMAND...: runs COMMAND until it succeeds; on the
# deadline fails with WHAT and COMMAND's last output.
wait_for() {
  local limit=$1 what=$2 out
  shift 2
  local deadline=$((SECONDS + limit))
  until out=$("$@" 2>&1); do
    [ $SECONDS -lt $deadline ] || fail "$what within $limit s: $out"
    sleep 0.5
  done
}

# Succeeds when EXPR gives exactly one sample per device named in "$@"
# (dN), each holding VALUE; without names, when it gives samples, all VALUE.
all_equal() {
  local expr=$1 value=$2 out
  shift 2
  out=$(q "$expr") || return 1
  echo "$out" | awk -v value="$value" -v want="$*" '
    BEGIN { n = split(want, names, " "); for (i = 1; i <= n; i++) wanted["device=" names[i]] = 0 }
    NF == 0 { next }
    {
      dev = ""
      for (i = 1; i < NF; i++) if ($i ~ /^device=/) dev = $i
      if (n > 0 && !(dev in wanted)) next
      lines++
      if (dev in wanted) wanted[dev]++
      if ($NF + 0 != value + 0) bad = bad " " $0 ";"
    }
    END {
      for (d in wanted) if (wanted[d] != 1) bad = bad " " substr(d, 8) " has " wanted[d] " samples;"
      if (lines == 0) bad = bad " no sample"
      if (bad != "") { print "not " value ":" bad; exit 1 }
    }'
}

# Prints one line for each device named in "$@" whose frame rate, panel or
# CPU clocks in Prometheus now are not those of its phone; fails when
# Prometheus does not answer. The rate of a steady game at F FPS over n
# frames is n over their span, and each frame is shown up to one vsync P
# after it comes: the span is n/F within P, so the rate lies between
# n/(n/F + P) and n/(n/F - P), give or take the daemon's rounding to 0.1.
mismatches() {
  local rates clocks i truth
  rates=$(q '{__name__=~"perfprobe_frame_rate_hertz|perfprobe_frames|perfprobe_refresh_rate_hertz"}') ||
    return 1
  clocks=$(q perfprobe_cpu_frequency_hertz) || return 1
  for i in "$@"; do
    i=${i#d}
    echo "$rates" | awk -v name="d$i" -v fps="$(farm_fps "$i")" -v hz="$(farm_refresh_hz)" '
      { for (k = 2; k < NF; k++) if ($k == "device=" name) v[$1] = $NF }
      END {
        if (!("perfprobe_frame_rate_hertz" in v) || !("perfprobe_frames" in v)) {
          print name ": no frame rate or frame count"
          exit
        }
        n = v["perfprobe_frames"]; rate = v["perfprobe_frame_rate_hertz"]; p = 1 / hz
        lo = n / (n / fps + p) - 0.05
        hi = n / fps > p ? n / (n / fps - p) + 0.05 : 1e9
        if (rate < lo || rate > hi)
          printf "%s: frame rate %s over %s frames, its game draws %s FPS (%.2f to %.2f)\n", name, rate, n, fps, lo, hi
        if (v["perfprobe_refresh_rate_hertz"] != hz)
          printf "%s: refresh rate %s, its panel is %s Hz\n", name, v["perfprobe_refresh_rate_hertz"], hz
      }'
    if ! truth=$(farm_cpu_khz "$i") || [ -z "$truth" ]; then
      echo "d$i: its phone's clocks cannot be read"
      continue
    fi
    echo "$clocks" | awk -v name="d$i" -v truth="$truth" '
      BEGIN { n = split(truth, t, "\n"); for (k = 1; k <= n; k++) { split(t[k], f, " "); khz[f[1]] = f[2] } }
      {
        dev = ""; cpu = ""
        for (k = 1; k < NF; k++) { if ($k ~ /^device=/) dev = substr($k, 8); if ($k ~ /^cpu=/) cpu = substr($k, 5) }
        if (dev == name) hz[cpu] = $NF
      }
      END {
        for (c in khz) {
          if (!(c in hz)) printf "%s: no clock of cpu%s, whose phone shows %s kHz\n", name, c, khz[c]
          else if (hz[c] + 0 != khz[c] * 1000) printf "%s: cpu%s at %s Hz, its phone shows %s kHz\n", name, c, hz[c], khz[c]
        }
        for (c in hz) if (!(c in khz)) printf "%s: a clock of cpu%s, which its phone lacks\n", name, c
      }'
  done
}

# The time of the newest sample of EXPR for device DEV, in seconds; 0 when
# there is none.
sample_time() {
  local t
  t=$(q "max(timestamp($1{device=\"$2\"}))" | awk '{ print $NF }')
  echo "${t:-0}"
}

# Checks the devices' rates and clocks. A device that does not fit gets one
# more sample: the one it had may be the first of its collection, which
# began between two frames.
check_truth() {
  local off late=() since=() k deadline
  off=$(mismatches "$@") || fail "Prometheus did not answer"
  [ -z "$off" ] && return 0
  echo "$off" | sed 's/^/  (first sample) /'
  read -r -a late <<<"$(echo "$off" | cut -d: -f1 | sort -u | tr '\n' ' ')"
  for k in "${!late[@]}"; do since[k]=$(sample_time perfprobe_frame_rate_hertz "${late[k]}"); done
  deadline=$((SECONDS + 30))
  for k in "${!late[@]}"; do
    while awk -v a="$(sample_time perfprobe_frame_rate_hertz "${late[k]}")" -v b="${since[k]}" \
      'BEGIN { exit !(a <= b) }'; do
      [ $SECONDS -lt $deadline ] || fail "${late[k]}: no new sample within 30 s"$'\n'"$off"
      sleep 0.2
    done
  done
  off=$(mismatches "${late[@]}") || fail "Prometheus did not answer"
  [ -z "$off" ] || fail "two samples in a row do not fit their phones:"$'\n'"$off"
}

everyone=()
for ((i = 0; i < phones; i++)); do everyone+=("d$i"); done
wait_for 60 "perfprobe_up is not 1 for every phone" all_equal perfprobe_up 1 "${everyone[@]}"
wait_for 30 "Prometheus does not scrape the exporter" all_equal 'up{job="perfprobe"}' 1
echo "perfprobe_up is 1 for all $phones phones"
wait_for 60 "not every phone is collecting" \
  all_equal 'perfprobe_collection_info{state="collecting"}' 1 "${everyone[@]}"
wait_for 60 "not every phone has frames" all_equal 'perfprobe_frames > bool 0' 1 "${everyone[@]}"
check_truth "${everyone[@]}"
echo "every phone's frame rate and CPU clocks are its own"

# One phone dies; the exporter tells it at its next poll, and the others go on.
others=()
for d in "${everyone[@]}"; do [ "$d" = "d$killed" ] || others+=("$d"); done
killed_at=$(date +%s.%N)
farm_kill "$killed" || fail "d$killed did not end"
start=$SECONDS
wait_for 60 "d$killed's perfprobe_up did not turn 0" all_equal "perfprobe_up" 0 "d$killed"
down_at=$(sample_time perfprobe_up "d$killed")
awk -v a="$down_at" -v b="$killed_at" 'BEGIN { exit !(a > b) }' ||
  fail "d$killed's perfprobe_up of $down_at is older than its end at $killed_at"
echo "d$killed down, perfprobe_up 0 within $((SECONDS - start)) s of its end"
for metric in perfprobe_cpu_frequency_hertz perfprobe_frame_rate_hertz perfprobe_battery_level_ratio; do
  left=$(q "$metric{device=\"d$killed\"}")
  [ -z "$left" ] || fail "d$killed is down, yet $metric has samples: $left"
done
[ -n "$(q "perfprobe_requests_total{device=\"d$killed\"}")" ] ||
  fail "d$killed is down and has lost its request counter"

# The others' samples after d$killed's first down sample: newer ones, up,
# with the rates and clocks of their phones; d$killed stays down.
for metric in perfprobe_up perfprobe_frame_rate_hertz perfprobe_cpu_frequency_hertz; do
  wait_for 30 "not every other phone has a $metric sample newer than d$killed's end" \
    all_equal "min by (device) (timestamp($metric)) > bool $down_at" 1 "${others[@]}"
done
all_equal perfprobe_up 0 "d$killed" >/dev/null || fail "d$killed came back up"
span=$(awk -v now="$(date +%s.%N)" -v then="$killed_at" 'BEGIN { printf "%d", now - then + 3 }')
out=$(all_equal "min_over_time(perfprobe_up[${span}s])" 1 "${others[@]}") ||
  fail "a live phone's perfprobe_up was 0 after d$killed ended: $out"
check_truth "${others[@]}"
echo "the $((phones - 1)) others stayed up, their samples newer than d$killed's end and their own"
echo "PASS"
