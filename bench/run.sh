#!/usr/bin/env bash
# The launcher benchmark, from a fresh clone: installs what building needs, builds into
# build/bench, generates the test applications there and prints the tables.
#   bench/run.sh [--quick] [--rounds N] [--apps tiny,interp,large] [--no-pack-timing]
#   bench/run.sh --decoder-options [--rounds N]: the launcher's size against decoding speed
# Take figures on an idle machine: the script warns when the load average is above 0.5.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup"
command -v taskset >/dev/null || { echo "bench: needs taskset (util-linux)" >&2; exit 1; }
if [ "${1:-}" = "--decoder-options" ]; then
  shift
  exec python3 "$root/bench/decoder_options.py" "$@"
fi
exec python3 "$root/bench/bench.py" "$@"
