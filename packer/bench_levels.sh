#!/usr/bin/env bash
# Measures pack time, payload size and decompression time for a few zstd levels on a
# realistic tree gathered from this Debian machine (docs, Python sources, shared objects
# and, where Wine is installed, Windows DLLs). The selection is by sorted path, so the
# same machine image gives the same tree.
#
# usage: packer/bench_levels.sh [LEVEL...]      (default levels: 3 9 19)
# env:   TARVIX_PACK (binary, default build/packer/tarvix-pack), BENCH_DIR (scratch,
#        default /tmp/tarvix-bench), BENCH_WORKERS (default 2)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
pack=${TARVIX_PACK:-$root/build/packer/tarvix-pack}
work=${BENCH_DIR:-/tmp/tarvix-bench}
workers=${BENCH_WORKERS:-2}
levels=("$@")
[ ${#levels[@]} -gt 0 ] || levels=(3 9 19)
wine_dlls=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows

command -v zstd >/dev/null || { echo "bench_levels: needs the zstd command" >&2; exit 1; }
[ -x "$pack" ] || { echo "bench_levels: no tarvix-pack at $pack" >&2; exit 1; }

# Every STEP-th file of a sorted list, at most COUNT of them, copied with its path.
take() {
  local step=$1 count=$2
  sort | awk -v step="$step" 'NR % step == 0' | head -n "$count" |
    while IFS= read -r file; do
      mkdir -p "$tree/$(dirname "${file#/}")"
      cp -L "$file" "$tree/${file#/}"
    done
}

seconds() { date +%s.%N; }
elapsed() { awk -v start="$1" -v now="$(seconds)" 'BEGIN { printf "%.3f", now - start }'; }

tree=$work/tree
rm -rf "$work" && mkdir -p "$tree"
find /usr/share/doc -type f | take 3 1700
find /usr/lib/python3 /usr/lib/python3.11 -type f -name '*.py' | take 2 1300
find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -size -2M | take 4 120
if [ -d "$wine_dlls" ]; then
  find "$wine_dlls" -type f -name '*.dll' -size -3M | take 8 80
  library=$wine_dlls/kernel32.dll
else
  library=/usr/lib/x86_64-linux-gnu/libc.so.6
fi
files=$(find "$tree" -type f | wc -l)
bytes=$(du -sb --apparent-size "$tree" | cut -f1)
echo "tree: $files files, $((bytes / 1048576)) MiB, library $(basename "$library"), $workers workers"
echo
echo "| level | pack time (s) | payload (bytes) | ratio | zstd -d time (s) |"
echo "| ---: | ---: | ---: | ---: | ---: |"
for level in "${levels[@]}"; do
  payload=$work/payload-$level.bin
  start=$(seconds)
  TARVIX_PACK_WORKERS=$workers "$pack" build --library "$library" --dir "$tree" --level "$level" -o "$payload"
  pack_time=$(elapsed "$start")
  size=$(stat -c %s "$payload")
  dd if="$payload" of="$work/frame" bs=1M iflag=skip_bytes,count_bytes skip=3 count=$((size - 15)) status=none
  best=""
  for _ in 1 2 3; do
    start=$(seconds)
    zstd -d -q -c "$work/frame" > /dev/null
    took=$(elapsed "$start")
    best=$(awk -v a="$took" -v b="${best:-$took}" 'BEGIN { print (a < b ? a : b) }')
  done
  printf '| %s | %.1f | %d | %.3f | %.3f |\n' "$level" "$pack_time" "$size" "$(awk -v a="$size" -v b="$bytes" 'BEGIN { print a / b }')" "$best"
done
