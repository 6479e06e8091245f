#!/usr/bin/env bash
# Installs what is needed, then runs the quick-start example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
echo "example: running examples/quickstart.py with .venv/bin/python" >&2
.venv/bin/python examples/quickstart.py
