# shellcheck shell=bash
# A farm of simulated phones, each a perfprobed of its own in private pid,
# mount and network namespaces, reachable from the caller's namespace over a
# veth pair: phone I answers on 10.77.I.2 (its eth0), port 8080, and the
# caller's side of the pair is 10.77.I.1.
#
#   . tests/farm/farm.sh
#   farm_start N WORKDIR BUILD_DIR   phones 0..N-1, returns once each answers
#   farm_address I                   10.77.I.2
#   farm_fps I / farm_refresh_hz     the frame rate phone I's game draws, its panel
#   farm_cpu_khz I                   "CPU KHZ" lines: the clocks phone I shows
#   farm_kill I                      ends phone I and waits until it is gone
#   farm_stop                        ends every phone left
#
# The caller must be in a network namespace of its own (the veths and their
# addresses go there) and may be root only. Each phone is three processes:
# unshare, its namespace's first process (a sleep) and perfprobed. Its
# files stand still (no device-walk runs), so that its CPU clocks are the
# ones device-tree wrote, and its game draws a steady farm_fps I frames per
# second, without jitter or stalls, so that what a client reports can be
# compared with what the phone is.

FARM_LIB=$(readlink -f "${BASH_SOURCE[0]}")
FARM_PACKAGE=com.example.game
FARM_CPUS=8
FARM_PIDS=()
FARM_WORK=
FARM_BUILD=

farm_address() { echo "10.77.$1.2"; }

farm_refresh_hz() { echo 120; }

# 30 FPS and up, one apart, all below the panel's rate: no two phones of the
# first 90 draw alike.
farm_fps() { echo $((30 + $1 % 90)); }

farm_fail() {
  echo "farm: $*" >&2
  return 1
}

# The first process of phone I's namespaces: it builds the phone where the
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
  local n=$1 i pid state deadline bin
  FARM_WORK=$(readlink -f "$2")
  FARM_BUILD=$(readlink -f "$3")
  [ "$n" -ge 1 ] && [ "$n" -le 250 ] || farm_fail "from 1 to 250 phones, not $n" || return 1
  for bin in bin/perfprobe bin/perfprobe-sim perfprobed simulator/bin/dumpsys; do
    [ -x "$FARM_BUILD/$bin" ] || farm_fail "no $FARM_BUILD/$bin" || return 1
  done
  for ((i = 0; i < n; i++)); do
    state=$FARM_WORK/d$i
    mkdir -p "$state"
    printf 'package=%s\nrefresh_hz=%s\nfps=%s\nseed=%s\n' \
      "$FARM_PACKAGE" "$(farm_refresh_hz)" "$(farm_fps "$i")" $((i + 1)) >"$state/device.conf"
    # --kill-child: the end of unshare, whatever kills it, ends the phone.
    unshare --pid --kill-child --mount-proc --mount --net \
      bash "$FARM_LIB" --phone "$FARM_BUILD" "$state" >"$state/phone.log" 2>&1 &
    FARM_PIDS[i]=$!
  done

  # Every pair is made in one ip run, its device side put straight into the
  # phone's namespace as eth0, once each unshare has its namespace.
  local batch=$FARM_WORK/veth.batch
  : >"$batch"
  deadline=$((SECONDS + 30 + n / 2))
  for ((i = 0; i < n; i++)); do
    pid=${FARM_PIDS[i]}
    until farm_in_own_net "$pid"; do
      kill -0 "$pid" 2>/dev/null || farm_fail "phone $i ended at once: $(cat "$FARM_WORK/d$i/phone.log")" || return 1
      [ $SECONDS -lt $deadline ] || farm_fail "phone $i has no network namespace after 30 s" || return 1
      sleep 0.05
    done
    printf 'link add farm%s type veth peer name eth0 netns %s\naddr add 10.77.%s.1/24 dev farm%s\nlink set farm%s up\n' \
      "$i" "$pid" "$i" "$i" "$i" >>"$batch"
  done
  ip -batch "$batch" || farm_fail "could not make the veth pairs" || return 1
  for ((i = 0; i < n; i++)); do
    printf 'addr add 10.77.%s.2/24 dev eth0\nlink set eth0 up\nlink set lo up\n' "$i" |
      nsenter -t "${FARM_PIDS[i]}" -n ip -batch - ||
      farm_fail "could not bring up phone $i's eth0" || return 1
  done

  # Every phone answers over its veth before the caller goes on.
  deadline=$((SECONDS + 60 + n))
  for ((i = 0; i < n; i++)); do
    until "$FARM_BUILD/bin/perfprobe" --host "$(farm_address "$i")" --timeout 250 --retries 0 \
      ping >/dev/null 2>&1; do
      if [ $SECONDS -ge $deadline ]; then
        farm_fail "phone $i ($(farm_address "$i")) does not answer; its log: $(cat "$FARM_WORK/d$i/phone.log")"
        return 1
      fi
    done
  done
}

# "CPU KHZ" for every CPU of phone I, from the files its daemon reads.
farm_cpu_khz() {
  local pid=${FARM_PIDS[$1]:-}
  [ -n "$pid" ] || farm_fail "no phone $1" || return 1
  nsenter -t "$pid" -m sh -c \
    'for f in /sys/devices/system/cpu/cpu[0-9]*/cpufreq/scaling_cur_freq; do
       c=${f#/sys/devices/system/cpu/cpu}; echo "${c%%/*} $(cat "$f")"
     done' | sort -n
}

# Ends phone I: its unshare, and with it the namespaces, whose end removes
# the veth pair, so that its address becomes unreachable.
farm_kill() {
  local i=$1 pid=${FARM_PIDS[$1]:-} deadline
  [ -n "$pid" ] || farm_fail "no phone $i" || return 1
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  unset "FARM_PIDS[$i]"
  # The kernel tears a network namespace down after its last process left.
  deadline=$((SECONDS + 30))
  while ip link show "farm$i" >/dev/null 2>&1; do
    [ $SECONDS -lt $deadline ] || farm_fail "phone $i's veth is still there 30 s after its end" || return 1
    sleep 0.05
  done
}

farm_stop() {
  local i
  for i in "${!FARM_PIDS[@]}"; do kill -KILL "${FARM_PIDS[i]}" 2>/dev/null; done
  for i in "${!FARM_PIDS[@]}"; do wait "${FARM_PIDS[i]}" 2>/dev/null; done
  FARM_PIDS=()
}

if [ "${1:-}" = --phone ] && [ "${BASH_SOURCE[0]}" = "$0" ]; then
  shift
  farm_phone "$@"
fi
