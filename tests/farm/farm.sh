# shellcheck shell=bash
# A farm of simulated phones, each a perfprobed of its own in private pid,
# mount and network namespaces, reachable from the caller's namespace over
# veth pairs. Device I is the address 10.77.I.2, port 8080, on a pair whose
# caller's side is 10.77.I.1/24; a phone holds one device, or K of them
# (one pair each, eth0 to ethK-1) where a client must see more devices
# than the machine can run phones.
#
#   . tests/farm/farm.sh
#   farm_start N WORKDIR BUILD_DIR [K]  devices 0..N-1 on phones of K devices
#                                       (default 1); returns once each answers
#   farm_address I                      10.77.I.2
#   farm_fps I / farm_refresh_hz        the frame rate device I's game draws, its panel
#   farm_cpu_khz I                      "CPU KHZ" lines: the clocks device I shows
#   farm_kill I                         ends device I's phone, and waits until it is gone
#   farm_stop                           ends every phone left, and Prometheus
#   farm_prometheus PROMETHEUS WORKDIR EXPORTER_PORT PROMETHEUS_PORT
#                                       starts Prometheus scraping the exporter;
#                                       returns once it is ready
#
# The caller must be root in a network namespace of its own: the veths and
# their addresses go there. A phone is three processes: unshare, its
# namespace's first process (a sleep) and perfprobed. Its files stand still
# (no device-walk runs), so that its CPU clocks are the ones device-tree
# wrote, and its game draws a steady number of frames a second, without
# jitter or stalls, so that what a client reports can be compared with what
# the phone is. A phone that collects frames still costs some 20 ms of CPU a
# second, in the dumpsys runs of its daemon.

FARM_LIB=$(readlink -f "${BASH_SOURCE[0]}")
FARM_PACKAGE=com.example.game
FARM_CPUS=8
FARM_PIDS=()  # by phone
FARM_PER_PHONE=1
FARM_WORK=
FARM_BUILD=
FARM_PROMETHEUS_PID=

farm_address() { echo "10.77.$1.2"; }

farm_refresh_hz() { echo 120; }

farm_phone_of() { echo $(($1 / FARM_PER_PHONE)); }

# 30 FPS and up, one apart, all below the panel's rate: no two of the first
# 90 phones draw alike.
farm_fps() { echo $((30 + $(farm_phone_of "$1") % 90)); }

farm_fail() {
  echo "farm: $*" >&2
  return 1
}

# The first process of a phone's namespaces: it builds the phone where the
# daemon reads it, starts the game and the daemon, and stays as the pid
# namespace's init, whose end ends the phone.
farm_phone() {
  local build=$1 state=$2 dir file
  set -e
  for dir in /sys/devices/system/cpu /sys/class /sys/kernel; do
    mount -t tmpfs -o size=4m tmpfs "$dir"
  done
  mkdir /sys/kernel/.proc-files
  for file in stat meminfo; do
    : >"/sys/kernel/.proc-files/$file"
    mount --bind "/sys/kernel/.proc-files/$file" "/proc/$file"
  done
  export PERFPROBE_SIM_DIR=$state
  export PATH=$build/simulator/bin:$PATH
  "$build/bin/perfprobe-sim" app start
  "$build/bin/perfprobe-sim" device-tree / --cpus "$FARM_CPUS"
  "$build/perfprobed"
  exec sleep infinity
}

# True once process PID is in a network namespace other than the caller's.
farm_in_own_net() {
  local ns
  ns=$(readlink "/proc/$1/ns/net" 2>/dev/null) || return 1
  [ "$ns" != "$(readlink /proc/self/ns/net)" ]
}

farm_start() {
  local n=$1 p i k pid state deadline bin phones
  FARM_WORK=$(readlink -f "$2")
  FARM_BUILD=$(readlink -f "$3")
  FARM_PER_PHONE=${4:-1}
  [ "$n" -ge 1 ] && [ "$n" -le 250 ] || farm_fail "from 1 to 250 devices, not $n" || return 1
  [ "$FARM_PER_PHONE" -ge 1 ] || farm_fail "at least one device a phone" || return 1
  for bin in bin/perfprobe bin/perfprobe-sim perfprobed simulator/bin/dumpsys; do
    [ -x "$FARM_BUILD/$bin" ] || farm_fail "no $FARM_BUILD/$bin" || return 1
  done
  phones=$(((n + FARM_PER_PHONE - 1) / FARM_PER_PHONE))
  for ((p = 0; p < phones; p++)); do
    state=$FARM_WORK/phone$p
    mkdir -p "$state"
    printf 'package=%s\nrefresh_hz=%s\nfps=%s\nseed=%s\n' "$FARM_PACKAGE" "$(farm_refresh_hz)" \
      "$(farm_fps $((p * FARM_PER_PHONE)))" $((p + 1)) >"$state/device.conf"
    # --kill-child: the end of unshare, whatever kills it, ends the phone.
    unshare --pid --kill-child --mount-proc --mount --net \
      bash "$FARM_LIB" --phone "$FARM_BUILD" "$state" >"$state/phone.log" 2>&1 &
    FARM_PIDS[p]=$!
  done

  # Every pair is made in one ip run, its device side put straight into the
  # phone's namespace, once each unshare has its namespace. A phone of
  # several devices has a subnet on each of its pairs, so that its replies
  # leave from the address each request came to.
  local batch=$FARM_WORK/veth.batch
  : >"$batch"
  deadline=$((SECONDS + 30 + phones / 2))
  for ((p = 0; p < phones; p++)); do
    pid=${FARM_PIDS[p]}
    until farm_in_own_net "$pid"; do
      kill -0 "$pid" 2>/dev/null ||
        farm_fail "phone $p ended at once: $(cat "$FARM_WORK/phone$p/phone.log")" || return 1
      [ $SECONDS -lt $deadline ] || farm_fail "phone $p has no network namespace after 30 s" ||
        return 1
      sleep 0.05
    done
  done
  for ((i = 0; i < n; i++)); do
    p=$(farm_phone_of "$i")
    k=$((i % FARM_PER_PHONE))
    printf 'link add farm%s type veth peer name eth%s netns %s\n' "$i" "$k" "${FARM_PIDS[p]}"
    printf 'addr add 10.77.%s.1/24 dev farm%s\nlink set farm%s up\n' "$i" "$i" "$i"
  done >"$batch"
  ip -batch "$batch" || farm_fail "could not make the veth pairs" || return 1
  for ((p = 0; p < phones; p++)); do
    for ((i = p * FARM_PER_PHONE; i < n && i < (p + 1) * FARM_PER_PHONE; i++)); do
      k=$((i % FARM_PER_PHONE))
      printf 'addr add %s/24 dev eth%s\nlink set eth%s up\n' "$(farm_address "$i")" "$k" "$k"
    done | nsenter -t "${FARM_PIDS[p]}" -n ip -batch - ||
      farm_fail "could not bring up phone $p's interfaces" || return 1
    nsenter -t "${FARM_PIDS[p]}" -n ip link set lo up || return 1
  done

  # Every device answers over its veth before the caller goes on.
  deadline=$((SECONDS + 60 + n))
  for ((i = 0; i < n; i++)); do
    until "$FARM_BUILD/bin/perfprobe" --host "$(farm_address "$i")" --timeout 250 --retries 0 \
      ping >/dev/null 2>&1; do
      if [ $SECONDS -ge $deadline ]; then
        p=$(farm_phone_of "$i")
        farm_fail "device $i ($(farm_address "$i")) does not answer; its phone's log: $(cat "$FARM_WORK/phone$p/phone.log")"
        return 1
      fi
    done
  done
}

# "CPU KHZ" for every CPU of device I's phone, from the files its daemon reads.
farm_cpu_khz() {
  local pid=${FARM_PIDS[$(farm_phone_of "$1")]:-}
  [ -n "$pid" ] || farm_fail "no phone holds device $1" || return 1
  nsenter -t "$pid" -m sh -c \
    'for f in /sys/devices/system/cpu/cpu[0-9]*/cpufreq/scaling_cur_freq; do
       c=${f#/sys/devices/system/cpu/cpu}; echo "${c%%/*} $(cat "$f")"
     done' | sort -n
}

# Ends device I's phone: its unshare, and with it the namespaces, whose end
# removes the veth pairs, so that its addresses become unreachable.
farm_kill() {
  local p i deadline pid
  p=$(farm_phone_of "$1")
  pid=${FARM_PIDS[p]:-}
  [ -n "$pid" ] || farm_fail "no phone holds device $1" || return 1
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  unset "FARM_PIDS[$p]"
  # The kernel tears a network namespace down after its last process left.
  deadline=$((SECONDS + 30))
  for ((i = p * FARM_PER_PHONE; i < (p + 1) * FARM_PER_PHONE; i++)); do
    while ip link show "farm$i" >/dev/null 2>&1; do
      [ $SECONDS -lt $deadline ] || farm_fail "farm$i is still there 30 s after its phone's end" ||
        return 1
      sleep 0.05
    done
  done
}

# Prometheus on 127.0.0.1:PROMETHEUS_PORT, scraping the exporter on
# 127.0.0.1:EXPORTER_PORT every second, with its configuration, its store and
# its log (prometheus.log) in WORKDIR. Its pid is FARM_PROMETHEUS_PID.
farm_prometheus() {
  local prometheus=$1 work=$2 exporter_port=$3 port=$4 deadline
  cat >"$work/prometheus.yml" <<YML
global:
  scrape_interval: 1s
  scrape_timeout: 1s
scrape_configs:
  - job_name: perfprobe
    static_configs:
      - targets: ['127.0.0.1:$exporter_port']
YML
  "$prometheus" --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address="127.0.0.1:$port" --log.level=warn >"$work/prometheus.log" 2>&1 &
  FARM_PROMETHEUS_PID=$!
  deadline=$((SECONDS + 60))
  until python3 "$(dirname "$FARM_LIB")/promql.py" "http://127.0.0.1:$port" ready; do
    kill -0 "$FARM_PROMETHEUS_PID" 2>/dev/null || farm_fail "Prometheus ended" || return 1
    [ $SECONDS -lt $deadline ] || farm_fail "Prometheus was not ready within 60 s" || return 1
    sleep 0.2
  done
}

farm_stop() {
  local p
  [ -n "$FARM_PROMETHEUS_PID" ] && kill "$FARM_PROMETHEUS_PID" 2>/dev/null
  FARM_PROMETHEUS_PID=
  for p in "${!FARM_PIDS[@]}"; do kill -KILL "${FARM_PIDS[p]}" 2>/dev/null; done
  for p in "${!FARM_PIDS[@]}"; do wait "${FARM_PIDS[p]}" 2>/dev/null; done
  FARM_PIDS=()
}

if [ "${1:-}" = --phone ] && [ "${BASH_SOURCE[0]}" = "$0" ]; then
  shift
  farm_phone "$@"
fi
