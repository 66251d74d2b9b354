#!/usr/bin/env bash
# Sets up and runs the test on the built-in example.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec "${PYTHON:-python3}" -m tessarin --example "$@"
