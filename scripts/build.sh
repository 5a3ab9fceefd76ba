#!/usr/bin/env bash
# Configures and builds one build tree, with warnings as errors (the developer's and
# CI's build; pass -DLOGRUM2_WERROR=OFF to build as a packager does).
#   scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
jobs=${LOGRUM2_JOBS:-$(nproc)}
cmake -S . -B "$build_dir" -G Ninja -DLOGRUM2_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir" -j "$jobs"
