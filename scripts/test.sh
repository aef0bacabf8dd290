#!/usr/bin/env bash
# Installs what is needed, builds, starts the local INN and runs every test:
# the unit tests and the INN end-to-end tests, the Debian package (built,
# installed, used and removed), then the unit tests again under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=$(nproc)

bash scripts/build.sh

bash scripts/inn-server.sh start
trap 'bash scripts/inn-server.sh stop' EXIT

status=0
(cd build && ctest --output-on-failure -j "$JOBS") || status=1

# The Debian package, installed and used from its paths, then removed.
bash scripts/package-test.sh || status=1

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DTSKIVO_SANITIZE=ON -DTSKIVO_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j "$JOBS"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    LSAN_OPTIONS="suppressions=$PWD/../tests/lsan.supp" \
    ctest --output-on-failure -j "$JOBS" -L unit) || status=1

exit $status
