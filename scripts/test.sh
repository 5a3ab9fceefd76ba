#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh            the normal build, then the sanitizer build's tests,
#                              then the Debian package (a packager's Release build
#                              of the programs and plug-ins), linted and run
#   LOGRUM2_SANITIZE_TESTS=0   skips the sanitizer build
#   LOGRUM2_THREAD_SAFETY_BUILD=0  skips the clang thread-safety build
#   LOGRUM2_PACKAGE=0          skips the package
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

if [[ ${LOGRUM2_THREAD_SAFETY_BUILD:-1} != 0 ]]; then
  # clang checks every lock annotation (GUARDED_BY, REQUIRES) of the programs
  # and plug-ins: a member touched without its lock fails this build. Only
  # the analysis is an error here; other clang warnings stay warnings, since
  # the gcc builds above hold the code to -Werror.
  start=$SECONDS
  CC=clang CXX=clang++ bash scripts/build.sh build-tsa -DLOGRUM2_THREAD_SAFETY=ON \
    -DLOGRUM2_WERROR=OFF -DLOGRUM2_BENCH=OFF -DLOGRUM2_TESTS=OFF
  echo "Thread-safety build: $((SECONDS - start)) s"
fi

if [[ ${LOGRUM2_PACKAGE:-1} != 0 ]]; then
  # The Debian package: what a packager builds (Release, -O3, warnings left as
  # warnings, every program and plug-in; the test programs were built and run
  # above), checked by lintian, its contents and maintainer scripts read with
  # dpkg-deb, and its programs run from the unpacked package.
  start=$SECONDS
  LOGRUM2_JOBS=$jobs bash scripts/package.sh build-package
  bash tests/install/package_test.sh build-package/logrum2_*.deb
  echo "Package build and test: $((SECONDS - start)) s"
fi
