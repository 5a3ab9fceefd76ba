#!/usr/bin/env bash
# Builds the protocol fuzzer with clang, AddressSanitizer and UBSan, and runs it
# for a bounded time over the handshake, the server's decoder and the client's,
# and the connection loop with clients that trickle, stall, vanish or stop
# reading on a simulated clock (no crash, no hang, no leak).
#   scripts/fuzz-protocol.sh [SECONDS]       default 60
# The corpus is kept in build-fuzz/fuzz/corpus between runs; a crashing input is
# written to build-fuzz/fuzz/ as crash-* and the script exits non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz

if ! command -v clang++ >/dev/null; then
  echo "fuzz-protocol: clang++ is needed (Debian package clang)" >&2
  exit 1
fi

cmake -S . -B "$build" -G Ninja \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DLOGRUM2_FUZZ=ON -DLOGRUM2_SANITIZE=ON -DLOGRUM2_BENCH=OFF >/dev/null
cmake --build "$build" -j "${LOGRUM2_JOBS:-2}" --target protocol_fuzzer

corpus=$build/fuzz/corpus
mkdir -p "$corpus"
# One seed per route: raw handshake bytes; a valid handshake then Ping and a
# version request; client traffic with a login; server traffic with a result.
printf 'IRPC\x01\x00\x00\x00\x02\x00\x00\x00' >"$corpus/seed-handshake"
printf '\x01\x11\x22\x33\x44\x03\x01' >"$corpus/seed-valid-handshake"
printf '\x02\x01\x00\x00\x00\x02\xff\x01\x00\x00\x00u\xff\x00\x00\x00\x00\x07G\x01\x02\x03\x04' \
  >"$corpus/seed-client-traffic"
printf '\x03\x01\x00\x00\x00\x0eG\x01\x02\x03\x04\xff\x02\x00\x00\x00OK' >"$corpus/seed-server-traffic"
# Paced clients (route 4): a Ping at once, then a LoginUser whose pieces
# come 4 s apart (past the message deadline) before a stall; one that vanishes
# in the middle of a message; one that stops reading at once.
printf '\x04\x01\x00\x00\x00\x01\x40\x00\x00\x01\x03\x28\x02\x02\xff\x28\x01\x01\x28\x03\x00\x00\x00' \
  >"$corpus/seed-trickling-client"
printf '\x04\x02\x00\x00\x00\x00\x40\x00\x03\x02\x02\xff' >"$corpus/seed-vanishing-client"
printf '\x04\x03\x00\x00\x00\x01\x00\x00\x02\x01\x03' >"$corpus/seed-deaf-client"

ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} \
  "$build/fuzz/protocol_fuzzer" "$corpus" \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$build/fuzz/" -print_final_stats=1
