#!/usr/bin/env bash
# The tests in checked builds (clang):
#   scripts/sanitize.sh address   AddressSanitizer, LeakSanitizer and
#                                 UndefinedBehaviorSanitizer: the unit tests and
#                                 the end-to-end suites (daemon, client, demo,
#                                 and the reports the browser test makes)
#   scripts/sanitize.sh thread    ThreadSanitizer: the collector's concurrency
#                                 tests, in process and end to end
# Any report fails the run. The detached daemon's standard error is the null
# device, so every report goes to a file in build/<kind>/sanitizer-reports,
# and the run fails if that folder holds anything afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

kind=${1:-}
case "$kind" in
  address)
    build=build/asan
    sanitizers=address,undefined
    targets=(unit_tests e2e_tests client_e2e_tests frame_stats_e2e_tests stats_e2e_tests adb_e2e_tests perfprobed perfprobe perfprobe-sim dumpsys_double)
    tests='^(unit\.|e2e\.host$|client\.host$|framestats\.host$|stats\.host$|adb\.host$|demo\.short$|report\.browser$)'
    ;;
  thread)
    build=build/tsan
    sanitizers=thread
    targets=(unit_tests e2e_tests perfprobed dumpsys_double)
    tests='^(unit\.(Command|CollectorThread)\.|e2e\.host$)'
    ;;
  *)
    echo "usage: scripts/sanitize.sh address|thread" >&2
    exit 1
    ;;
esac

need cmake:cmake make:make clang:clang++ libclang-rt-14-dev libgtest-dev libcli11-dev \
  nlohmann-json3-dev libcpp-httplib-dev pkg-config:pkg-config gnuplot-nox:gnuplot iproute2:ip
npm_packages

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPERFPROBE_SANITIZE="$sanitizers"
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

reports=$PWD/$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
# Findings end the program (the build does not recover), and each one is
# also written where this script looks for it.
export ASAN_OPTIONS="log_path=$reports/report:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_string_checks=1"
export UBSAN_OPTIONS="log_path=$reports/report:print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="log_path=$reports/report:halt_on_error=1:second_deadlock_stack=1"

status=0
(cd "$build" && ctest --output-on-failure -j"$(nproc)" -R "$tests") || status=$?

if [ -n "$(ls -A "$reports")" ]; then
  for report in "$reports"/*; do
    echo "=== $report"
    cat "$report"
  done
  echo "FAILED: the $kind sanitizers reported the findings above." >&2
  exit 1
fi
if [ "$status" -ne 0 ]; then
  echo "FAILED: tests failed in the $kind build." >&2
  exit "$status"
fi
echo "The $kind build passed its tests with no sanitizer report."
