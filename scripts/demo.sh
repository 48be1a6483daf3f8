#!/usr/bin/env bash
# The demo: builds perfprobed, the perfprobe client and the simulated device,
# starts the daemon in private namespaces over the simulated phone (a game,
# eight CPUs whose clocks move, a GPU, a battery and thermal zones that heat
# up until the phone throttles), watches it with `perfprobe monitor` and
# leaves the samples as CSV, a plot, a recording and its HTML report in
# demo-out/.
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

# The frame rate of a steady game at REFRESH_HZ and FPS, as GET_FRAMESTATS
# and GET_FPS tell it after a few ticks; with LABEL, on the phone that
# device.conf's EXTRA lines make, with the frames of the last tick and where
# they came from.
compare_rates() {
  local client=$1 sim=$2 state=$3 hz=$4 fps=$5 extra=${6:-} label=${7:-} reply stats old
  printf 'package=%s\nrefresh_hz=%s\nfps=%s\n%s' "$package" "$hz" "$fps" "$extra" > "$state/device.conf"
  # Frames that reach the compositor a microsecond before their vsync: at a
  # dump none is still waiting for its fence, whose pending row would end
  # GET_FPS's count early with a part of a second.
  "$sim" app start --ago 3 --vsync-ns $((1000000000 / hz)) --after-vsync-ns -1000
  "$client" stop >/dev/null
  "$client" start "$package" >/dev/null
  sleep 3.2
  reply=$("$client" send GET_FRAMESTATS)
  stats=$(awk '$1 == "fps" { print $2 }' <<<"$reply")
  old=$("$client" fps)
  "$client" stop >/dev/null
  if [ -z "$label" ]; then
    printf '  a %3s FPS game on a %3s Hz panel: GET_FRAMESTATS fps %6s   GET_FPS %4s\n' \
      "$fps" "$hz" "$stats" "$old"
  else
    printf '  %s: fps %s, %s frames a tick from %s; GET_FPS %s\n' "$label" "$stats" \
      "$(awk '$1 == "frames" { print $2 }' <<<"$reply")" \
      "$(awk '$1 == "source" { print $2 }' <<<"$reply")" "$old"
  fi
}

# What a tester would type into monitor --mark as the game goes: the heavy
# scene that the simulated game starts 7 s after it started (some 4.5 s
# into the sampling), and its end 4 s later; only those within the run.
marks() {
  local seconds=$1
  sleep 4.5
  echo "heavy scene"
  [ "$seconds" -gt 9 ] || return 0
  sleep 4
  echo "heavy scene ends"
}

# Runs inside the namespaces, as their first process: leaving ends every
# process started here, the daemon and the CPU walk included.
inside() {
  local build=$1 seconds=$2 out=$3
  local sim=$build/bin/perfprobe-sim client=$build/bin/perfprobe
  # The phone's folders become tmpfs folders of the simulated phone, and
  # /proc/stat and /proc/meminfo files of its own, bound over the real ones.
  local dir
  for dir in "$cpu_dir" /sys/class /sys/kernel; do mount -t tmpfs tmpfs "$dir"; done
  mkdir /sys/kernel/.proc-files
  for file in stat meminfo; do
    : > "/sys/kernel/.proc-files/$file"
    mount --bind "/sys/kernel/.proc-files/$file" "/proc/$file"
  done
  ip link set lo up

  # The simulated game: 60 FPS, a heavy scene at 40, then back to 60, with
  # a stall of 300 ms every 4 s and a little jitter. The phone heats up as it
  # draws, and past 45 °C it caps its clocks, and the game draws less.
  local state
  state=$(mktemp -d /tmp/perfprobe-demo-XXXXXX)
  cat > "$state/device.conf" <<CONF
package=$package
fps=0:60,7:40,11:60
jitter_ms=2
stall_every_s=4
stall_ms=300
throttle_c=45
CONF
  export PERFPROBE_SIM_DIR=$state
  export PATH=$build/simulator/bin:$PATH
  "$sim" device-tree / --cpus 8
  "$sim" device-walk / --interval-ms 200 &
  # Its frames reach the compositor early in each 60 Hz vsync period, so
  # that the jitter makes none miss its vsync: the frames lost are the
  # stalls' and the heavy scene's alone.
  "$sim" app start --ago 2 --process --vsync-ns 16666666 --after-vsync-ns 1000000

  echo "Starting perfprobed (it detaches at once) over the simulated phone"
  "$build/perfprobed"
  "$client" --timeout 100 --retries 100 ping >/dev/null
  "$client" monitor "$package" --duration "$seconds" \
    --csv "$out/perfprobe.csv" --plot "$out/perfprobe.png" \
    --record "$out/perfprobe.jsonl" --mark < <(marks "$seconds")
  "$client" report "$out/perfprobe.jsonl" -o "$out/report.html"

  echo
  echo "Why the frame statistics replace GET_FPS (it counts one second of the newest"
  echo "127 frames, less one, and 127 frames last less than two seconds above 63 FPS):"
  compare_rates "$client" "$sim" "$state" 60 60
  compare_rates "$client" "$sim" "$state" 120 120
  echo "Where the latency outputs fail, the frames still count:"
  compare_rates "$client" "$sim" "$state" 120 120 $'android=14qpr2\n' \
    "Android 14 QPR2, no layer listed"
  compare_rates "$client" "$sim" "$state" 120 120 $'latency_rows=64\n' \
    "64-row outputs, 120 FPS"
  rm -rf "$state"
}

if [ "${1:-}" = --inside ]; then
  shift
  inside "$@"
  exit 0
fi

seconds=35
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
  need cmake:cmake make:make g++:g++ libcli11-dev nlohmann-json3-dev libcpp-httplib-dev pkg-config:pkg-config \
    gnuplot-nox:gnuplot iproute2:ip
  npm_packages
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
echo "The report (open it in a browser): $out/report.html"
