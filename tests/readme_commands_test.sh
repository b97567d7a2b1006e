#!/usr/bin/env bash
# The README's run command, twice in a row, as a new user would type it:
# the first run creates the emulated writer, the second finds it.
set -euo pipefail
source_dir=$1
build_dir=$2
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_CONFIG_HOME="$home/config" XDG_RUNTIME_DIR="$home/run" \
  XDG_CACHE_HOME="$home/cache" TMPDIR="$home/tmp" TESSALINE_NO_REAL_DRIVES=1 TESSALINE_BUILD_DIR="$build_dir"
unset TESSALINE_WRITERS_DIR DISPLAY WAYLAND_DISPLAY
mkdir -p "$home/run" "$home/tmp"
chmod 700 "$home/run"
first=$(bash "$source_dir/scripts/run" 2>&1) || { echo "$first"; echo "first run failed"; exit 1; }
grep -q "Created the emulated writer 'recorder'" <<<"$first" || { echo "$first"; echo "no writer created"; exit 1; }
grep -q "CD-R" <<<"$first" || { echo "$first"; echo "no disc status"; exit 1; }
second=$(bash "$source_dir/scripts/run" 2>&1) || { echo "$second"; echo "second run failed"; exit 1; }
if grep -q "Created the emulated writer" <<<"$second"; then echo "$second"; echo "created again"; exit 1; fi
grep -q "Emulated CD Recorder" <<<"$second" || { echo "$second"; echo "writer not listed"; exit 1; }
echo "both runs passed"
