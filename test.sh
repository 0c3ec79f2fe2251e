#!/bin/sh
# Installs the build and test tools, builds everything and runs every test:
# unit, lint and end-to-end tests, the unit tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzz targets for a
# short fixed time.
set -e
cd "$(dirname "$0")"
# The end-to-end tests need root for their mount and network namespaces.
if [ "$(id -u)" -ne 0 ]; then exec sudo "$0" "$@"; fi
./scripts/deps.sh test
J="$(nproc)"
status=0

echo "== build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUPSD_TESTS=ON
cmake --build build -j"$J"
echo "== unit and end-to-end tests"
(cd build && ctest -j"$J" --output-on-failure --timeout 600) || status=1

echo "== unit tests under ASan+UBSan"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPSD_SANITIZE=ON
cmake --build build-asan -j"$J"
(cd build-asan && ctest -j"$J" -L unit --output-on-failure --timeout 600) || status=1

echo "== fuzz targets"
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DUPSD_FUZZ=ON
cmake --build build-fuzz -j"$J"
(cd build-fuzz && ctest -j"$J" -L fuzz --output-on-failure --timeout 600) || status=1

[ $status -eq 0 ] && echo "test.sh: all test runs passed" || echo "test.sh: FAILED"
exit $status
