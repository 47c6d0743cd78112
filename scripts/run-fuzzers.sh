#!/usr/bin/env bash
# Runs every libFuzzer target in a folder for a bounded time each, seeded from the wire test vectors.
# Usage: run-fuzzers.sh FOLDER SECONDS
set -euo pipefail
folder=$1
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
corpora="$folder/corpus"
python3 "$root/scripts/fuzz_seeds.py" "$root/tests/data/wire-vectors.json" "$corpora"
# Seeds that only our own encoders can make: NAME_seeds writes them for NAME_fuzz.
for writer in "$folder"/*_seeds; do
  [ -x "$writer" ] || continue
  name=$(basename "$writer" _seeds)_fuzz
  mkdir -p "$corpora/$name"
  "$writer" "$corpora/$name"
done

status=0
for target in "$folder"/*_fuzz; do
  name=$(basename "$target")
  mkdir -p "$corpora/$name" "$folder/crashes"
  echo "fuzzing $name for ${seconds}s"
  # A single allocation above 64 MiB would mean a length was trusted before the input proved it.
  if ! "$target" "$corpora/$name" -max_total_time="$seconds" -max_len=65536 -malloc_limit_mb=64 \
      -rss_limit_mb=2048 -artifact_prefix="$folder/crashes/$name-" -print_final_stats=1 2>"$folder/$name.log"; then
    echo "FAILED: $name (see $folder/$name.log)"
    tail -40 "$folder/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$folder/$name.log" | tail -2
  fi
done
exit $status
