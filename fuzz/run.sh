#!/usr/bin/env bash
# Runs fuzz targets one after another, each for a bounded time and at low
# priority, so the machine stays usable. Usage:
#   fuzz/run.sh BUILD_DIR SECONDS [TARGET...]
# Each target grows its corpus in BUILD_DIR/corpus/TARGET, starting from the
# seeds in fuzz/corpus and the saved findings in fuzz/regressions; an input
# that breaks a check lands in BUILD_DIR/findings/TARGET and ends the run
# with a non-zero status.
set -euo pipefail

build=$1
seconds=$2
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_settings fuzz_index fuzz_header fuzz_commands fuzz_body)
fi
here=$(cd "$(dirname "$0")" && pwd)
# The targets lay out and remove a small store for every input; in memory
# that costs a third of what it costs on disk.
if [ -z "${TMPDIR:-}" ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi

for t in "${targets[@]}"; do
  corpus=$build/corpus/$t
  findings=$build/findings/$t
  mkdir -p "$corpus" "$findings"
  dirs=("$corpus" "$here/corpus/$t")
  [ -d "$here/regressions/$t" ] && dirs+=("$here/regressions/$t")
  opts=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1
        -artifact_prefix="$findings/")
  [ -f "$here/dict/$t.dict" ] && opts+=(-dict="$here/dict/$t.dict")
  case $t in
    # Header blocks are read 1000 bytes at a time: room for a few blocks.
    fuzz_header) opts+=(-max_len=8192) ;;
    # Slow inputs keep the length limit low for long; articles that span
    # header blocks and many cuts need the full length from the start.
    fuzz_body) opts+=(-max_len=8192 -len_control=0) ;;
  esac
  echo "== $t for ${seconds}s"
  nice -n 10 "$build/fuzz/$t" "${opts[@]}" "${dirs[@]}"
done
