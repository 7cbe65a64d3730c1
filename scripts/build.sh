#!/usr/bin/env bash
# Configures and builds one preset (default: the primary 32-bit build).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/emulation.sh
preset=${1:-i386}
cmake --preset "$preset" >/dev/null
# The build lists each test program's cases by running it.
env $(preset_env "$preset") cmake --build "build/$preset"
