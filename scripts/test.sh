#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh            the normal build, then the sanitizer build's tests
#   LOGRUM2_SANITIZE_TESTS=0   skips the sanitizer build
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=${LOGRUM2_JOBS:-$(nproc)}
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j "$jobs" --timeout 600)

if [[ ${LOGRUM2_SANITIZE_TESTS:-1} != 0 ]]; then
  # AddressSanitizer and UndefinedBehaviorSanitizer over the same tests.
  bash scripts/build.sh build-asan -DLOGRUM2_SANITIZE=ON -DLOGRUM2_BENCH=OFF
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j "$jobs" --timeout 900 -LE no-sanitizer)
fi
