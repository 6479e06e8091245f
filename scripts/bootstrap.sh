#!/usr/bin/env bash
# Installs everything tidemark needs on a fresh Debian machine and builds it
# into a virtual environment at .venv. Safe to run again. Each long step says
# what it is about to do: the first run takes a few quiet minutes.
set -euo pipefail
cd "$(dirname "$0")/.."

step() { echo "bootstrap: $*" >&2; }

APT_PACKAGES=(cmake ninja-build g++ libgtest-dev libtbb-dev)
missing=()
for p in "${APT_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  step "installing Debian packages: ${missing[*]}"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The solver crate (rust/qp_solver) is built by cargo. Rust comes from rustup,
# which installs into ~/.cargo/bin; Debian's own cargo is older than the crate's
# dependencies need, so there is no package to fall back on.
if ! command -v cargo >/dev/null 2>&1 && [ -x "$HOME/.cargo/bin/cargo" ]; then
  export PATH="$PATH:$HOME/.cargo/bin"
fi
rust_min="$(sed -n 's/^rust-version = "\(.*\)"/\1/p' rust/qp_solver/Cargo.toml)"
if ! command -v cargo >/dev/null 2>&1; then
  echo "bootstrap: cargo (Rust >= $rust_min) is needed to build the solver crate;" \
       "install Rust with rustup and run this again" >&2
  exit 1
fi
cargo_version="$(cargo --version | cut -d' ' -f2)"
if [ "$(printf '%s\n%s\n' "$rust_min" "$cargo_version" | sort -V | head -n1)" != "$rust_min" ]; then
  echo "bootstrap: cargo $cargo_version is older than Rust $rust_min, which the solver crate" \
       "needs; update it with 'rustup update'" >&2
  exit 1
fi
step "fetching the Rust crates of the solver (cargo fetch)"
cargo fetch --locked --quiet --manifest-path rust/qp_solver/Cargo.toml

PYTHON="${PYTHON:-python3}"
if [ ! -x .venv/bin/python ]; then
  step "creating the virtual environment .venv"
  "$PYTHON" -m venv .venv
fi
step "installing the build and test tools into .venv (pip)"
.venv/bin/python -m pip install -q --upgrade pip
# pandas only for the README's examples, which tests/test_readme.py runs.
.venv/bin/python -m pip install -q "scikit-build-core>=0.10" "numpy>=2.0" "pytest>=7" "pandas>=2.0"
step "building tidemark (C++ and the Rust solver crate) and installing it into .venv"
# Warnings are errors here so that a warning never lands unnoticed.
.venv/bin/python -m pip install -q --no-build-isolation \
  -Ccmake.define.TIDEMARK_WERROR=ON .
