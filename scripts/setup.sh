#!/usr/bin/env bash
# Installs what the package needs on a fresh Debian machine, then builds and
# installs tessarin into the current Python. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

if [ ! -f /usr/include/boost/math/distributions/binomial.hpp ]; then
  echo "setup: installing the Boost.Math headers (libboost-math-dev)"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libboost-math-dev >/dev/null
fi
if ! command -v g++ >/dev/null; then
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq g++ >/dev/null
fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
"$PYTHON" -m pip install -q "scikit-build-core>=0.8" "cmake>=3.18" ninja "numpy>=2" "scipy>=1.9" "pytest>=7"
"$PYTHON" -m pip install -q --no-build-isolation .
