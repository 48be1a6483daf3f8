#!/usr/bin/env bash
# Every test:
#  0. that the daemon calls nothing bionic lacks at API 21, where the checker
#     is at hand;
#  1. the unit tests, and the end-to-end and soak suites run against the host
#     daemon and against the statically linked AArch64 daemon under qemu-user;
#     the USB suite through a stand-in adb, with the host's binaries and with
#     the AArch64 daemon and client as the phone's; the exporter scraped by a
#     real Prometheus over a farm of simulated phones;
#  2. the unit and end-to-end suites under ASan+UBSan, and the collector's
#     concurrency tests under TSan (scripts/sanitize.sh);
#  3. each fuzz target for 30 seconds (scripts/fuzz.sh).
# Every part runs even when an earlier one failed; the run fails if any did.
#
#   scripts/test.sh [--quick]
#
# --quick is the check a developer runs between changes: the API 21 check,
# then the unit tests and the host's end-to-end suites (daemon, client, frame
# and device statistics, USB, the short demo) in build/host. It leaves out
# what takes long or needs large installs: the AArch64 build and qemu, the
# soak, the report in Chromium, the Prometheus farm, the checked builds and
# the fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

quick=false
case "$*" in
  "") ;;
  --quick) quick=true ;;
  *)
    echo "usage: scripts/test.sh [--quick]" >&2
    exit 1
    ;;
esac

host_packages=(cmake:cmake make:make g++:g++ libgtest-dev libcli11-dev nlohmann-json3-dev
  libcpp-httplib-dev pkg-config:pkg-config gnuplot-nox:gnuplot iproute2:ip)
if $quick; then
  need "${host_packages[@]}"
else
  need "${host_packages[@]}" \
    g++-aarch64-linux-gnu:aarch64-linux-gnu-g++ qemu-user-static:qemu-aarch64-static \
    clang:clang++ libclang-rt-14-dev chromium:chromium fonts-dejavu-core \
    adb:adb prometheus:prometheus curl:curl
fi
npm_packages

jobs=$(nproc)

if $quick; then
  # The same tree as the whole run's, so that either one builds on the
  # other; a tree the whole run configured keeps its AArch64 suites, which
  # the filter below leaves out.
  cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build/host -j"$jobs"
else
  cmake -S . -B build/aarch64 -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake"
  cmake --build build/aarch64 -j"$jobs"

  cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPERFPROBED_AARCH64="$PWD/build/aarch64/perfprobed" \
    -DPERFPROBE_CLIENT_AARCH64="$PWD/build/aarch64/perfprobe" \
    -DQEMU_AARCH64="$(command -v qemu-aarch64-static)"
  cmake --build build/host -j"$jobs"
fi

if ! namespaces_permitted; then
  echo "NOTE: private namespaces are not permitted here (they need root):" \
    "the end-to-end tests will be skipped."
fi

failed=()
# The daemon runs on Android's libc from API 21: every C library function its
# sources call must be there. The checker lives beside the project, where
# there is one.
check_api=../shared/bionic/check-api.sh
if [ -x "$check_api" ]; then
  "$check_api" -I jni jni/*.cpp jni/*/*.cpp || failed+=("the Android API 21 check")
else
  echo "NOTE: $check_api is not here: the Android API 21 check is skipped."
fi
# Each end-to-end run has namespaces of its own, so they may run side by side.
if $quick; then
  # Leaving out rather than picking, so that a new suite runs here too.
  (cd build/host && ctest --output-on-failure -j"$jobs" \
    -E '\.aarch64|^soak\.|^report\.browser$|^exporter\.prometheus$') ||
    failed+=("the quick tests of build/host")
else
  (cd build/host && ctest --output-on-failure -j"$jobs") || failed+=("the tests of build/host")
  # The soak's figures (datagrams, cycles, memory), from CTest's log.
  grep -h '^soak (.*):' build/host/Testing/Temporary/LastTest.log || true
  bash scripts/sanitize.sh address || failed+=("the address sanitizer run")
  bash scripts/sanitize.sh thread || failed+=("the thread sanitizer run")
  bash scripts/fuzz.sh --seconds 30 || failed+=("the fuzzing")
fi

if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED: %s\n' "${failed[@]}" >&2
  exit 1
fi
if $quick; then
  echo "All quick tests passed (the whole run: scripts/test.sh)."
else
  echo "All tests passed."
fi
