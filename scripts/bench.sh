#!/usr/bin/env bash
# What the daemon costs beside the app it measures, against the bare minimum
# for the same work. Not part of the test command. See --help.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

usage() {
  cat <<EOF
Usage: scripts/bench.sh [--baseline REV]... [--rounds N] [--ticks N]

Builds this tree's release daemon, statically linked (build/bench), the same
daemon dynamically linked (build/bench-dynamic) and, for each --baseline,
the daemon of git revision REV (build/bench-baseline/REV), then measures
them all in one run:

  1. Round trips of CONNECT_DAEMON, GET_FPS, GET_SIMPLE (8 CPUs on a tmpfs)
     and GET_STATS (a phone of 8 CPUs in 3 clusters, 40 thermal zones, a GPU
     and a battery) through each daemon and through a minimal UDP echo
     server, the servers pinned to one CPU and the client to another,
     interleaved; the median of each and its ratio to its floor: the echo's,
     and for GET_SIMPLE and GET_STATS the echo's plus a bare open, read and
     close of the same files. A daemon without GET_STATS is left out of it.
  2. Each daemon's CPU time per collector tick (40 layers, 8 matching, 129
     timing lines each) two ways: its own threads (schedstat), and it with
     every command it started (a cgroup made for it). Beside them, in the
     same run, two programs that only run the same nine commands and read
     their output: directly, as the daemon does, and through "sh -c". The
     ratios to those floors are what to compare across machines. And each
     daemon's peak resident memory (VmHWM) while collecting. This tree's
     static daemon also runs a second time ("perfprobed/ts") on a phone whose
     listing is empty, so that it reads the compositor's time statistics (a
     dump of 40 layers, about 240 KiB) every tick: its CPU against its own in
     latency mode, and its VmHWM.
  3. Google Benchmark of the pure parts, for this tree and for the first
     REV: a layer's rate from 129 lines, the layer list from 200 names, the
     CPU report from 12 values and from 12 files beside a bare read of them,
     package patterns at their limits, the selection of 8 layers of 40,
     GET_STATS's work over a phone's files, idle (/0) and with the app's
     process among 30 others (/1), beside a bare read of the same files, and
     the parse of the 40-layer time statistics with the package's pattern
     (/0) and keeping every layer (/1), a tick on it, and its bare cutting
     into lines.

Needs root for private namespaces (as the end-to-end tests do); without
them part 1 and 2 are skipped. Every reply is checked byte for byte.

Options:
  --baseline REV  a daemon to compare with (any git revision; repeat it for
                  several, such as each commit of a series); the pure parts
                  are compared with the first; without it, this tree only
  --rounds N      round-trip rounds of 25 per request and server (default 200)
  --ticks N       measured collector ticks (default 20, at least 10)
  -h, --help      this text
EOF
}

baselines=()
rounds=200
ticks=20
while [ $# -gt 0 ]; do
  case "$1" in
    --baseline) baselines+=("${2:?--baseline needs a revision}"); shift 2 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
    --ticks) ticks=${2:?--ticks needs a number}; shift 2 ;;
    -h|--help) usage; exit 0 ;;
    *) usage >&2; exit 2 ;;
  esac
done

need cmake:cmake make:make g++:g++ git:git libgtest-dev libbenchmark-dev \
  libcli11-dev nlohmann-json3-dev libcpp-httplib-dev pkg-config:pkg-config
npm_packages

jobs=$(nproc)
build_daemon() { # SOURCE BUILD [CMAKE-ARGS...]
  local src=$1 dir=$2
  shift 2
  cmake -S "$src" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
    -DPERFPROBE_NODE_MODULES="$PWD/node_modules" "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" --target perfprobed >/dev/null
}

base_args=()
baseline=
baseline_daemons=()
rm -rf build/bench-baseline
for wanted in "${baselines[@]}"; do
  if rev=$(git rev-parse --short --verify --quiet "$wanted^{commit}"); then
    mkdir -p "build/bench-baseline/$rev/src"
    git archive "$rev" | tar -x -C "build/bench-baseline/$rev/src"
    echo "Building the daemon of $rev in build/bench-baseline/$rev"
    build_daemon "build/bench-baseline/$rev/src" "build/bench-baseline/$rev/build" -DBUILD_TESTING=OFF
    baseline_daemons+=("$rev=build/bench-baseline/$rev/build/perfprobed")
    if [ -z "$baseline" ]; then
      baseline=$rev
      base_args=(-DPERFPROBE_BASELINE_SOURCE="$PWD/build/bench-baseline/$rev/src")
    fi
  else
    echo "NOTE: revision $wanted is not in this clone; it is left out."
  fi
done

echo "Building this tree in build/bench and build/bench-dynamic"
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DPERFPROBE_BENCH=ON \
  -DPERFPROBE_BASELINE_SOURCE= "${base_args[@]}" >/dev/null
targets=(perfprobed daemon_bench micro_bench)
[ -n "$baseline" ] && targets+=(micro_bench_baseline)
cmake --build build/bench -j"$jobs" --target "${targets[@]}" >/dev/null
build_daemon . build/bench-dynamic -DBUILD_TESTING=OFF -DPERFPROBE_STATIC=OFF

echo
echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) CPUs; $(uname -sr)"
echo "Daemon sizes: $(stat -c '%s bytes' build/bench/perfprobed) static," \
  "$(stat -c '%s bytes' build/bench-dynamic/perfprobed) dynamic"
echo

# Groups left by a run that was cut short; a group still in use stays.
rmdir /sys/fs/cgroup/perfprobe-bench-* /sys/fs/cgroup/*/perfprobe-bench-* 2>/dev/null || true

daemons=()
daemons+=("${baseline_daemons[@]}")
daemons+=("dynamic=build/bench-dynamic/perfprobed" "perfprobed=build/bench/perfprobed")
status=0
build/bench/bench/daemon_bench --dumpsys-dir=build/bench/tests/dumpsys_double/bin \
  --echo=build/bench/bench/udp_echo --floor=build/bench/bench/collector_floor \
  --rounds="$rounds" --ticks="$ticks" --timestats=perfprobed "${daemons[@]}" || status=$?
[ "$status" -eq 77 ] && status=0

# The median of 5 repetitions of each benchmark.
micro=(--benchmark_repetitions=5 --benchmark_report_aggregates_only=true --benchmark_min_time=0.2)
medians() { grep -E '^(Benchmark|BM_.*_median)'; }
if [ -n "$baseline" ]; then
  echo
  echo "Pure parts, baseline ($baseline), median of 5:"
  build/bench/bench/micro_bench_baseline "${micro[@]}" 2>/dev/null | medians || status=1
fi
echo
echo "Pure parts, this tree, median of 5:"
build/bench/bench/micro_bench "${micro[@]}" 2>/dev/null | medians || status=1
exit "$status"
