#!/usr/bin/env bash
# What the exporter costs at scale: 100 devices (by default) of a farm of
# simulated phones, each phone a perfprobed in namespaces of its own, polled
# every second by `perfprobe exporter --package`, which a real Prometheus
# scrapes every second. Over the measured window it prints the exporter's CPU (from
# /proc/PID/stat: per scrape, per device and second, and as a share of one
# CPU), its peak and final resident memory, and Prometheus' own view: the
# scrape duration, the series per scrape, the GET_STATS round trips and the
# failed requests. A benchmark, not a test: it prints figures and judges
# nothing; the goal is under 2 % of one CPU for 100 devices at 1 s.
#
#   bench/exporter_scale.sh BUILD_DIR [--devices N] [--per-phone K] [--seconds S]
#
# A phone that collects frames costs some 20 ms of CPU a second in the
# dumpsys runs of its daemon, so a hundred of them would take more than a
# small machine has and starve the exporter they should measure. By default
# each phone is therefore 5 devices, an address on a veth pair of its own
# each: the exporter polls, parses and serves 100 devices all the same, and
# their daemons answer from 20 phones. --per-phone 1 runs a phone a device.
#
# As root, with /usr/bin/prometheus, python3, ip and nsenter.
set -uo pipefail
self=$(readlink -f "$0")
repo=$(dirname "$(dirname "$self")")
prometheus=/usr/bin/prometheus

if [ "${1:-}" != --inside ]; then
  usage="usage: bench/exporter_scale.sh BUILD_DIR [--devices N] [--per-phone K] [--seconds S]"
  [ $# -ge 1 ] || { echo "$usage" >&2; exit 1; }
  build=$(readlink -f "$1")
  shift
  devices=100
  per_phone=5
  seconds=60
  while [ $# -gt 0 ]; do
    case $1 in
      --devices) devices=$2; shift 2 ;;
      --per-phone) per_phone=$2; shift 2 ;;
      --seconds) seconds=$2; shift 2 ;;
      *) echo "$usage" >&2; exit 1 ;;
    esac
  done
  . "$repo/scripts/lib.sh"
  namespaces_permitted || { echo "The farm needs private namespaces: run as root." >&2; exit 1; }
  for tool in "$prometheus" python3 ip nsenter; do
    command -v "$tool" >/dev/null || { echo "No $tool here." >&2; exit 1; }
  done
  exec unshare --pid --kill-child --mount-proc --mount --net \
    bash "$self" --inside "$build" "$devices" "$per_phone" "$seconds"
fi

# The first process of private namespaces: its end ends everything it started.
build=$2
devices=$3
per_phone=$4
seconds=$5
. "$repo/tests/farm/farm.sh"
exporter_port=9464
prometheus_port=9090
prom_url=http://127.0.0.1:$prometheus_port
work=$(mktemp -d /tmp/perfprobe-exporter-bench-XXXXXX)
trap 'farm_stop; rm -rf "$work"' EXIT

die() {
  echo "exporter_scale: $*" >&2
  tail -n 20 "$work/exporter.log" "$work/prometheus.log" >&2 2>/dev/null
  exit 1
}
q() { python3 "$repo/tests/farm/promql.py" "$prom_url" query "$1"; }
# The value of a query that gives one sample, or "NA".
one() { q "$1" | awk 'NR == 1 { v = $NF } END { print (NR == 1 ? v : "NA") }'; }

ip link set lo up
echo "Starting $devices devices, $per_phone a phone"
start=$SECONDS
farm_start "$devices" "$work" "$build" "$per_phone" || die "the farm did not start"
echo "  all answering after $((SECONDS - start)) s"

targets=()
for ((i = 0; i < devices; i++)); do targets+=(--device "d$i=$(farm_address "$i")"); done
"$build/bin/perfprobe" exporter --listen "127.0.0.1:$exporter_port" "${targets[@]}" \
  --package "$FARM_PACKAGE" --interval 1 >"$work/exporter.log" 2>&1 &
exporter=$!
deadline=$((SECONDS + 60))
until grep -q "^perfprobe exporter: serving" "$work/exporter.log"; do
  kill -0 "$exporter" 2>/dev/null || die "the exporter ended"
  [ $SECONDS -lt $deadline ] || die "the exporter did not start serving within 60 s"
  sleep 0.1
done

farm_prometheus "$prometheus" "$work" "$exporter_port" "$prometheus_port" ||
  die "Prometheus did not start"
# The window starts once every device has answered the exporter and
# Prometheus holds that. On a busy machine a device may miss a poll now and
# then: the window does not wait for all of them to be up at once, and the
# figures say how many were.
deadline=$((SECONDS + 180))
until [ "$(one 'count(perfprobe_requests_total - perfprobe_request_failures_total > 0)')" = "$devices" ]; do
  [ $SECONDS -lt $deadline ] || die "not every device answered within 180 s"
  sleep 1
done
echo "  every device answered the exporter after $((SECONDS - start)) s"

# utime + stime of every thread of the process, in clock ticks, and with
# CHILDREN, of its reaped children too: fields 14 to 17 after the command,
# which is in parentheses and may hold spaces.
cpu_ticks() { sed 's/^.*) //' "/proc/$1/stat" | awk -v all="${2:-}" '{ print $12 + $13 + (all ? $14 + $15 : 0) }'; }
status_kb() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
# What the phones spent: their daemons and the dumpsys they ran.
phones_ticks() {
  local pid sum=0
  for pid in $(pgrep -x perfprobed); do sum=$((sum + $(cpu_ticks "$pid" children))); done
  echo "$sum"
}

hz=$(getconf CLK_TCK)
echo "Measuring for $seconds s"
ticks0=$(cpu_ticks "$exporter")
prom0=$(cpu_ticks "$FARM_PROMETHEUS_PID")
phones0=$(phones_ticks)
t0=$(date +%s.%N)
sleep "$seconds"
ticks1=$(cpu_ticks "$exporter")
prom1=$(cpu_ticks "$FARM_PROMETHEUS_PID")
phones1=$(phones_ticks)
t1=$(date +%s.%N)
hwm=$(status_kb "$exporter" VmHWM)
rss=$(status_kb "$exporter" VmRSS)
threads=$(status_kb "$exporter" Threads)
kill -0 "$exporter" 2>/dev/null || die "the exporter ended during the run"
# The page fetched straight, without Prometheus' parsing and storing: its
# size and the median of five fetches.
read -r page_bytes fetch < <(python3 - "http://127.0.0.1:$exporter_port/metrics" <<'PY'
import statistics, sys, time, urllib.request
times = []
for _ in range(5):
    t = time.monotonic()
    body = urllib.request.urlopen(sys.argv[1], timeout=10).read()
    times.append(time.monotonic() - t)
print(len(body), statistics.median(times))
PY
)

window="[${seconds}s]"
job='{job="perfprobe"}'
scrapes=$(one "count_over_time(scrape_duration_seconds$job$window)")
p50=$(one "quantile_over_time(0.5, scrape_duration_seconds$job$window)")
max=$(one "max_over_time(scrape_duration_seconds$job$window)")
samples=$(one "max_over_time(scrape_samples_scraped$job$window)")
up=$(one "avg(avg_over_time(perfprobe_up$window))")
rated=$(one "avg(count_over_time(perfprobe_frame_rate_hertz$window)) / $scrapes")
rtt=$(one "histogram_quantile(0.5, sum by (le) (increase(perfprobe_request_duration_seconds_bucket$window)))")
rtt99=$(one "histogram_quantile(0.99, sum by (le) (increase(perfprobe_request_duration_seconds_bucket$window)))")
requests=$(one "sum(increase(perfprobe_requests_total$window))")
failures=$(one "sum(increase(perfprobe_request_failures_total$window))")

awk -v ticks=$((ticks1 - ticks0)) -v hz="$hz" -v t0="$t0" -v t1="$t1" -v n="$devices" -v per_phone="$per_phone" \
  -v scrapes="$scrapes" -v p50="$p50" -v max="$max" -v samples="$samples" -v up="$up" \
  -v hwm="$hwm" -v rss="$rss" -v threads="$threads" -v rtt="$rtt" -v rtt99="$rtt99" \
  -v requests="$requests" -v failures="$failures" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" \
  -v rated="$rated" -v page_bytes="${page_bytes:-NA}" -v fetch="${fetch:-NA}" -v prom=$((prom1 - prom0)) -v phone_ticks=$((phones1 - phones0)) '
  function ms(s) { return s == "NA" ? "NA" : sprintf("%.2f ms", s * 1000) }
  BEGIN {
    wall = t1 - t0; cpu = ticks / hz
    printf "\nThe exporter, %d devices (%d a phone) polled every 1 s with --package, scraped every 1 s:\n", n, per_phone
    printf "  window                   %.1f s, %s scrapes\n", wall, scrapes
    printf "  devices up               in %.1f %% of the scrapes, with a frame rate in %.1f %%\n", 100 * up, 100 * rated
    printf "  CPU                      %.2f s = %.2f %% of one CPU (goal: under 2 %%)\n", cpu, 100 * cpu / wall
    if (scrapes + 0 > 0) printf "  CPU per scrape           %.2f ms (a second of polling and one scrape)\n", 1000 * cpu / scrapes
    printf "  CPU per device           %.1f us per second\n", 1e6 * cpu / wall / n
    printf "  resident memory          peak %s kB, at the end %s kB (%s threads)\n", hwm, rss, threads
    printf "  scrape duration          median %s, max %s, %s samples a scrape\n", ms(p50), ms(max), samples
    printf "  the page fetched alone   %s bytes in %s (median of 5)\n", page_bytes, ms(fetch)
    printf "  GET_STATS round trip     median %s, 99th percentile %s (its histogram)\n", ms(rtt), ms(rtt99)
    printf "  requests                 %.0f, of which failed %.0f\n", requests, failures
    printf "  beside it                the phones %.0f %% of one CPU (their daemons and dumpsys), Prometheus %.1f %%\n", 100 * phone_ticks / hz / wall, 100 * prom / hz / wall
    printf "  load average at the end  %s\n", load
  }'
