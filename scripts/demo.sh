#!/usr/bin/env bash
# Builds perfprobed, starts it in private namespaces over a sample CPU tree of
# an eight-core phone, asks it every request and prints what it answers.
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
. scripts/lib.sh

cpu_dir=/sys/devices/system/cpu

# CPU frequencies in kHz, as sysfs writes them.
sample_tree() {
  local i freq
  for i in 0 1 2 3 4 5 6 7; do
    case $i in
      [0-3]) freq=1785600 ;;
      [4-6]) freq=2419200 ;;
      7) freq=2841600 ;;
    esac
    mkdir -p "$cpu_dir/cpu$i/cpufreq"
    echo "$freq" > "$cpu_dir/cpu$i/cpufreq/scaling_cur_freq"
  done
  mkdir -p "$cpu_dir/cpufreq/policy0" "$cpu_dir/cpuidle"
  echo 0-7 > "$cpu_dir/online"
  echo 0-7 > "$cpu_dir/possible"
}

# Sends each request from one UDP socket and prints the reply, if any.
ask() {
  python3 - "$@" <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(1.0)
for req in sys.argv[1:]:
    s.sendto(req.encode(), ("127.0.0.1", 8080))
    try:
        reply = s.recvfrom(65536)[0].decode(errors="replace")
        print(f"  {req!r:32} -> {reply!r}")
    except socket.timeout:
        print(f"  {req!r:32} -> (no reply)")
PY
}

wait_serving() {
  python3 - <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(0.1)
for _ in range(100):
    s.sendto(b"CONNECT_DAEMON", ("127.0.0.1", 8080))
    try:
        if s.recvfrom(64)[0] == b"success":
            sys.exit(0)
    except OSError:
        pass
sys.exit("perfprobed did not answer")
PY
}

inside() {
  local daemon=$1
  mount -t tmpfs tmpfs "$cpu_dir"
  ip link set lo up
  sample_tree
  echo "Starting $daemon (it detaches at once)"
  "$daemon"
  wait_serving
  echo "Requests and replies:"
  ask CONNECT_DAEMON GET_SIMPLE INITIALIZATION GET_SIMPLE GET_FPS START_COLLECT \
    STOP_COLLECT "xxCONNECT_DAEMONyy" "GET_FPS and GET_SIMPLE" get_simple
  echo "The big cores speed up; the report follows the files:"
  echo 2841600 > "$cpu_dir/cpu4/cpufreq/scaling_cur_freq"
  echo 3187200 > "$cpu_dir/cpu7/cpufreq/scaling_cur_freq"
  ask GET_SIMPLE
  # Leaving ends the namespace, and with it the daemon.
}

if [ "${1:-}" = --inside ]; then
  inside "$2"
  exit 0
fi

need cmake:cmake make:make g++:g++ python3:python3 iproute2:ip
cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/demo -j"$(nproc)" --target perfprobed
if ! namespaces_permitted; then
  echo "The demo runs perfprobed in private pid, mount and network namespaces:" \
    "run it as root on a kernel that allows unshare." >&2
  exit 1
fi
unshare --pid --fork --mount-proc --mount --net bash "$self" --inside "$PWD/build/demo/perfprobed"
