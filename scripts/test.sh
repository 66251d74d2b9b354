#!/usr/bin/env bash
# Sets up and runs the whole test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec "${PYTHON:-python3}" -m pytest tests "$@"
