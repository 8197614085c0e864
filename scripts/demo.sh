#!/usr/bin/env bash
# Sets up (installs, configures, builds) and runs the demonstration.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh" "$here/build"
OPENBLAS_NUM_THREADS=1 "$here/build/examples/trelvak_example"
