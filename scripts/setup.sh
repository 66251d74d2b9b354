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

# SIMDe (header-only) lets the tests run the AVX-512 and NEON primitives on any
# processor through test-only emulated builds. Without it those builds, and
# their tests, are left out.
if [ ! -f /usr/include/simde/x86/avx512.h ]; then
  echo "setup: installing the SIMDe headers (libsimde-dev) for the emulated test builds"
  { as_root apt-get update -qq &&
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libsimde-dev >/dev/null; } ||
    echo "setup: libsimde-dev could not be installed; the emulated builds are skipped" >&2
fi
EMULATED=OFF
if [ -f /usr/include/simde/x86/avx512.h ]; then EMULATED=ON; fi

export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
"$PYTHON" -m pip install -q "scikit-build-core>=0.8" "cmake>=3.18" ninja "numpy>=2" "scipy>=1.9" "pytest>=7"
# The optional features, so that their tests run: figures, progress bars,
# Parquet, Feather and fast CSV reading on the command line, and Dask clusters.
"$PYTHON" -m pip install -q "matplotlib>=3.5" "tqdm>=4.60" "pyarrow>=10" "dask[distributed]>=2024.1"
"$PYTHON" -m pip install -q --no-build-isolation \
  --config-settings=cmake.define.TESSARIN_EMULATED_BUILDS="$EMULATED" \
  --config-settings=cmake.define.TESSARIN_PROBE=ON .
