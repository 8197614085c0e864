#!/usr/bin/env bash
# Sets up (installs, configures, builds) and runs every test except those labelled slow.
# Usage: scripts/test.sh [extra ctest arguments]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh" "$here/build"
cd "$here/build"
OPENBLAS_NUM_THREADS=1 ctest --output-on-failure -j 2 -LE slow "$@"
