#!/usr/bin/env bash
# Configures and builds one build tree.
#   scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
shift || true
jobs=${LOGRUM2_JOBS:-$(nproc)}
cmake -S . -B "$build_dir" -G Ninja "$@" >/dev/null
cmake --build "$build_dir" -j "$jobs"
