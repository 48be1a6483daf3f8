#!/usr/bin/env bash
# Builds the libFuzzer targets with ASan and UBSan and runs each one for a
# while over its seeds; any crash, leak, timeout or running out of memory
# fails the run. See --help.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

all_targets=(request cpu_report layer_list layer_rate frame_stats time_stats package_pattern stats_parse recording relay exporter_page)

usage() {
  cat <<EOF
Usage: scripts/fuzz.sh [--seconds N] [TARGET...]

Builds the fuzz targets in build/fuzz (clang, address and undefined
sanitizers) and runs each TARGET for N seconds (default 30). Without a
TARGET all run: ${all_targets[*]}.

Each target starts from its working corpus build/fuzz/corpus/TARGET, where
libFuzzer keeps what it finds, and the hand-written seeds in
fuzz/seeds/TARGET, which it only reads. Findings go to
build/fuzz/artifacts/TARGET/ and each run's output to
build/fuzz/logs/TARGET.log. To replay a finding:
  build/fuzz/fuzz/fuzz_TARGET build/fuzz/artifacts/TARGET/crash-...

Exits non-zero when any target crashed, leaked, timed out or ran out of
memory, after running the others. Ends with a table of executions, seconds,
corpus size and peak RSS per target.

Options:
  --seconds N   fuzzing time per target, in seconds
  -h, --help    this text
EOF
}

seconds=30
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds)
      [ $# -ge 2 ] || { echo "--seconds needs a value" >&2; exit 2; }
      seconds=$2
      shift 2
      ;;
    --seconds=*)
      seconds=${1#*=}
      shift
      ;;
    -h | --help)
      usage
      exit 0
      ;;
    -*)
      echo "Unknown option: $1" >&2
      usage >&2
      exit 2
      ;;
    *)
      name=${1#fuzz_}
      if [[ " ${all_targets[*]} " != *" $name "* ]]; then
        echo "Unknown target: $1 (targets: ${all_targets[*]})" >&2
        exit 2
      fi
      targets+=("$name")
      shift
      ;;
  esac
done
if ! [[ $seconds =~ ^[0-9]+$ ]] || [ "$seconds" -eq 0 ]; then
  echo "--seconds takes a whole number of seconds above 0, not '$seconds'" >&2
  exit 2
fi
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

# The client and the simulator are configured in every host build, so their
# libraries are needed even though no fuzz target uses them.
need cmake:cmake make:make clang:clang++ libclang-rt-14-dev libcli11-dev nlohmann-json3-dev libcpp-httplib-dev pkg-config:pkg-config
npm_packages

out=build/fuzz
cmake -S . -B "$out" -DCMAKE_CXX_COMPILER=clang++ -DPERFPROBE_FUZZ=ON \
  -DPERFPROBE_SANITIZE=address,undefined -DBUILD_TESTING=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
build_targets=()
for t in "${targets[@]}"; do build_targets+=(--target "fuzz_$t"); done
cmake --build "$out" -j2 "${build_targets[@]}"

# Leaks count as findings whatever the caller's environment says.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1"

mkdir -p "$out/logs"
failed=()
rows=()
for t in "${targets[@]}"; do
  corpus=$out/corpus/$t
  artifacts=$out/artifacts/$t
  log=$out/logs/$t.log
  mkdir -p "$corpus" "$artifacts"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$artifacts/")
  [ -f "fuzz/$t.dict" ] && args+=(-dict="fuzz/$t.dict")
  # The CPU report prints a trace line per CPU.
  [ "$t" = cpu_report ] && args+=(-close_fd_mask=1)

  echo "== fuzz_$t: ${seconds}s, log in $log"
  start=$SECONDS
  status=0
  # The outer limit only catches a fuzzer that stops honouring its own.
  timeout --kill-after=10 $((seconds + 300)) \
    "$out/fuzz/fuzz_$t" "${args[@]}" "$corpus" "fuzz/seeds/$t" >"$log" 2>&1 || status=$?
  elapsed=$((SECONDS - start))

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -n 1)
  corp=$(grep -o 'corp: [0-9]*/[0-9]*[a-zA-Z]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
  rows+=("$t|${execs:--}|$elapsed|${corp:--}|${rss:--}")

  if [ "$status" -ne 0 ]; then
    artifact=$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)
    failed+=("fuzz_$t (exit $status, artifact: ${artifact:-none}, log: $log)")
    echo "!! fuzz_$t failed with exit status $status; the end of its log:" >&2
    tail -n 40 "$log" >&2
  fi
done

echo
printf '%-16s %12s %8s %20s %14s\n' target executions seconds 'corpus (units/size)' 'peak RSS (MB)'
for row in "${rows[@]}"; do
  IFS='|' read -r t execs elapsed corp rss <<<"$row"
  printf '%-16s %12s %8s %20s %14s\n' "$t" "$execs" "$elapsed" "$corp" "$rss"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo
  echo "Fuzzing found problems in ${#failed[@]} target(s):" >&2
  printf '  %s\n' "${failed[@]}" >&2
  exit 1
fi
echo
echo "All fuzz targets ran clean."
