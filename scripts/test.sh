#!/usr/bin/env bash
# Every test: the unit tests, and the end-to-end suite run against the host
# daemon and against the statically linked AArch64 daemon under qemu-user.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

need cmake:cmake make:make g++:g++ libgtest-dev libcli11-dev nlohmann-json3-dev \
  gnuplot-nox:gnuplot iproute2:ip \
  g++-aarch64-linux-gnu:aarch64-linux-gnu-g++ qemu-user-static:qemu-aarch64-static

jobs=$(nproc)

cmake -S . -B build/aarch64 -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake"
cmake --build build/aarch64 -j"$jobs"

cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPERFPROBED_AARCH64="$PWD/build/aarch64/perfprobed" \
  -DQEMU_AARCH64="$(command -v qemu-aarch64-static)"
cmake --build build/host -j"$jobs"

if ! namespaces_permitted; then
  echo "NOTE: private namespaces are not permitted here (they need root):" \
    "the end-to-end tests will be skipped."
fi

# Each end-to-end run has namespaces of its own, so they may run side by side.
cd build/host
ctest --output-on-failure -j"$jobs"
