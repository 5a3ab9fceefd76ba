#!/usr/bin/env bash
# Installs what is missing, builds, and runs the server's main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
if [[ -x build/bin/recserver ]]; then
  exec bash scripts/demo.sh
fi
echo "run: the server is not built yet; what exists is built in build/bin and build/lib:"
ls build/bin build/lib 2>/dev/null
