#!/usr/bin/env bash
# The demo: builds perfprobed, the perfprobe client and the simulated device,
# starts the daemon in private namespaces over the simulated phone (a game
# and eight CPUs whose clocks move), watches it with `perfprobe monitor` and
# leaves the samples as CSV and a plot in demo-out/.
#
#   scripts/demo.sh [--seconds N] [--out DIR] [--prebuilt BUILD_DIR]
#
# --prebuilt takes the binaries of an existing build tree and skips the
# install and the build (the tests use it).
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
. scripts/lib.sh

cpu_dir=/sys/devices/system/cpu
package=com.example.game

# Runs inside the namespaces, as their first process: leaving ends every
# process started here, the daemon and the CPU walk included.
inside() {
  local build=$1 seconds=$2 out=$3
  local sim=$build/bin/perfprobe-sim client=$build/bin/perfprobe
  mount -t tmpfs tmpfs "$cpu_dir"
  ip link set lo up
  "$sim" cpu-tree "$cpu_dir" --cpus 8
  "$sim" cpu-walk "$cpu_dir" --interval-ms 200 &

  # The simulated game: 60 FPS, a heavy scene at 40, then back to 60, with
  # a stall of 300 ms every 4 s and a little jitter.
  local state
  state=$(mktemp -d /tmp/perfprobe-demo-XXXXXX)
  cat > "$state/device.conf" <<CONF
package=$package
fps=0:60,7:40,11:60
jitter_ms=2
stall_every_s=4
stall_ms=300
CONF
  export PERFPROBE_SIM_DIR=$state
  export PATH=$build/simulator/bin:$PATH
  "$sim" app start --ago 2

  echo "Starting perfprobed (it detaches at once) over the simulated phone"
  "$build/perfprobed"
  "$client" --timeout 100 --retries 100 ping >/dev/null
  "$client" monitor "$package" --duration "$seconds" \
    --csv "$out/perfprobe.csv" --plot "$out/perfprobe.png"
  rm -rf "$state"
}

if [ "${1:-}" = --inside ]; then
  shift
  inside "$@"
  exit 0
fi

seconds=15
out=$PWD/demo-out
build=
while [ $# -gt 0 ]; do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --prebuilt) build=$(readlink -f "$2"); shift 2 ;;
    *) echo "usage: scripts/demo.sh [--seconds N] [--out DIR] [--prebuilt BUILD_DIR]" >&2; exit 1 ;;
  esac
done

if [ -z "$build" ]; then
  need cmake:cmake make:make g++:g++ libcli11-dev nlohmann-json3-dev \
    gnuplot-nox:gnuplot iproute2:ip
  build=$PWD/build/demo
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target perfprobed perfprobe perfprobe-sim
fi
if ! namespaces_permitted; then
  echo "The demo runs perfprobed in private pid, mount and network namespaces:" \
    "run it as root on a kernel that allows unshare." >&2
  exit 1
fi
mkdir -p "$out"
out=$(readlink -f "$out")
unshare --pid --fork --mount-proc --mount --net bash "$self" --inside "$build" "$seconds" "$out"
echo
echo "The samples are in $out/perfprobe.csv and the plot in $out/perfprobe.png"
