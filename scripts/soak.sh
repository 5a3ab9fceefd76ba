#!/usr/bin/env bash
# The soak run: recserver for HOURS of the station's time on an accelerated
# clock, with recycling, clients in a loop and every segment decoded; reports
# gaps, memory, descriptors and threads over time, and the database against
# the files (scripts/soak.py says what each figure means). Exits 0 when clean.
#
#   scripts/soak.sh HOURS [--speed N] [--keep] [--json FILE]
#   LOGRUM2_SOAK_SPEED   the clock's speed when --speed is not given (default 60:
#                        one hour of station time takes a minute)
#   LOGRUM2_BUILD        the build tree whose programs run (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ $# -lt 1 ]]; then
  echo "usage: scripts/soak.sh HOURS [--speed N] [--keep] [--json FILE]" >&2
  exit 2
fi
build=${LOGRUM2_BUILD:-build}
for tool in recserver logrum-client logrum-reg; do
  if [[ ! -x $build/bin/$tool ]]; then
    echo "soak: $build/bin/$tool is missing; build first (bash scripts/build.sh build)" >&2
    exit 2
  fi
done
exec /usr/bin/python3 scripts/soak.py --build "$build" --speed "${LOGRUM2_SOAK_SPEED:-60}" "$@"
