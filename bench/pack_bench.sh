#!/usr/bin/env bash
# Pack tool benchmark on a realistic app folder (official node.exe plus npm's
# JavaScript): packed size against xz -9e on the same archive, and pack time
# with 2 threads against 1: wall clock (needs an idle machine), then per-thread
# CPU time of each stage from pack_chunk_bench.cpp (holds up on a busy one).
#   bench/pack_bench.sh [BUILD_DIR] [APP_DIR]
# BUILD_DIR defaults to build/host-release, the build the tests use; APP_DIR to
# build/bench/app, assembled there on first use.
# LEVELS="50 70" compares levels; REPEAT=N repeats each timing.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/host-release}
app=${2:-$root/build/bench/app}
levels=${LEVELS:-50}
repeat=${REPEAT:-1}
work=$(mktemp -d /tmp/lmr-pack-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

if [[ ! -x $build/tools/pack/lmr-pack ]]; then
  cmake --preset host-release -B "$build" >/dev/null
  cmake --build "$build" --target lmr-pack >/dev/null
fi
pack=$build/tools/pack/lmr-pack

if [[ ! -f $app/node.exe ]]; then
  mkdir -p "$app/node_modules"
  python3 "$root/tools/node_win.py" "$app/node.exe"
  cp -r /usr/lib/node_modules/npm /usr/lib/node_modules/corepack "$app/node_modules/"
  printf 'import "./node_modules/npm/index.js";\n' >"$app/home.mjs"
fi

now() { date +%s.%N; }

# Prints wall seconds of one pack run, the best of $repeat.
time_pack() {
  local best=
  for _ in $(seq "$repeat"); do
    local start end
    start=$(now)
    "$pack" --quiet --no-verify "$@" "$app" --record "$work/record.bin"
    end=$(now)
    best=$(python3 -c "a=$end-$start; b='$best'; print(f'{min(a, float(b)) if b else a:.2f}')")
  done
  echo "$best"
}

"$pack" --quiet "$app" --archive-out "$work/archive.bin" --record "$work/record.bin"
archive_size=$(stat -c %s "$work/archive.bin")
echo "archive: $archive_size bytes, $(find -L "$app" -type f | wc -l) files, $(nproc) cores"

start=$(now)
xz -9e -T1 -k -c "$work/archive.bin" >"$work/archive.xz"
xz_seconds=$(python3 -c "print(f'{$(now)-$start:.1f}')")
xz_size=$(stat -c %s "$work/archive.xz")
echo "xz -9e: $xz_size bytes in $xz_seconds s"

for level in $levels; do
  t1=$(time_pack --level "$level" --threads 1)
  t2=$(time_pack --level "$level" --threads 2)
  size=$(($(stat -c %s "$work/record.bin") - 24))
  chunks=$("$pack" --level "$level" --threads 2 --no-verify "$app" --record "$work/record.bin" 2>&1 | grep -o '[0-9]* x [0-9]* KiB chunks')
  start=$(now)
  "$pack" --quiet --level "$level" --threads 2 "$app" --record "$work/record.bin"
  verified=$(python3 -c "print(f'{$(now)-$start:.2f}')")
  python3 - "$level" "$size" "$xz_size" "$t1" "$t2" "$verified" "$chunks" <<'PY'
import sys
level, size, xz, t1, t2, verified, chunks = sys.argv[1:]
size, xz, t1, t2, verified = int(size), int(xz), float(t1), float(t2), float(verified)
print(f"level {level}: stream {size} bytes ({chunks}); (b) packed / xz -9e = {size / xz:.3f}; "
      f"1 thread {t1:.2f} s, 2 threads {t2:.2f} s, (c) 2/1 = {t2 / t1:.2f}; "
      f"2 threads with verification {verified:.2f} s")
PY
done

g++ -std=c++23 -O2 -I"$root" "$root/bench/pack_chunk_bench.cpp" "$root/tools/pack/lzms_stream.cpp" \
  "$root"/compat/lzms/*.cpp "$root/package/crc32.cpp" -lwim -lz -pthread -o "$work/pack_chunk_bench"
for level in $levels; do
  "$work/pack_chunk_bench" "$work/archive.bin" "$level" 2
done
