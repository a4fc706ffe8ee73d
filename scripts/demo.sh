#!/usr/bin/env bash
# Installs quarn from this checkout and runs the short demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
py=${PYTHON:-python3}
"$py" -m pip install -q --no-build-isolation .
cd /tmp && "$py" "$OLDPWD/python/examples/demo.py"
