#!/usr/bin/env bash
# Installs everything tidemark needs on a fresh Debian machine and builds it
# into a virtual environment at .venv. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

APT_PACKAGES=(cmake ninja-build g++ libgtest-dev libtbb-dev)
missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

PYTHON="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  "$PYTHON" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" "pytest>=7"
# Warnings are errors here so that a warning never lands unnoticed.
.venv/bin/python -m pip install -q --no-build-isolation \
  -Ccmake.define.TIDEMARK_WERROR=ON .
