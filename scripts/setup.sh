#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine is missing, then configures and builds the project.
# Usage: scripts/setup.sh [build-dir]   (default: build)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}

packages=(g++ make cmake octave liboctave-dev libmetis-dev libsuitesparse-dev libmumps-seq-dev
          libopenblas-dev liblapack-dev libgtest-dev clang-format zlib1g-dev
          pkg-config petsc-dev openmpi-bin libopenmpi-dev python3-petsc4py
          python3-dev python3-pybind11 pybind11-dev python3-numpy python3-scipy python3-pytest
          python3-matplotlib python3-setuptools python3-pip python3-venv)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get update -q
    $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release
cmake --build "$build" -j "$(nproc)"
