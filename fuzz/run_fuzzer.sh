#!/usr/bin/env bash
# run_fuzzer.sh FUZZER SECONDS CORPUS SEED_DIR...: runs a libFuzzer target for
# a fixed time; its corpus grows in CORPUS, seeded from the other folders,
# with the X12 dictionary beside this script.
set -euo pipefail
fuzzer="$1" seconds="$2" corpus="$3"
shift 3
mkdir -p "$corpus"
seeds=()
for dir in "$@"; do
  [ -d "$dir" ] && seeds+=("$dir")
done
exec "$fuzzer" -max_total_time="$seconds" -dict="$(dirname "$0")/x12.dict" -timeout=20 -rss_limit_mb=2560 -max_len=65536 \
  -print_final_stats=1 "$corpus" "${seeds[@]}"
