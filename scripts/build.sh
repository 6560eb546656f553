#!/usr/bin/env bash
# Configures and builds the project in build/ (shared by scripts/run and scripts/test). With target
# names as arguments, builds only those (and what they need); without, everything.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" -DVANTEO_WERROR="${VANTEO_WERROR:-OFF}" >/dev/null
if [ $# -gt 0 ]; then
  cmake --build "$BUILD_DIR" -j"$(nproc)" --target "$@"
else
  cmake --build "$BUILD_DIR" -j"$(nproc)"
fi
