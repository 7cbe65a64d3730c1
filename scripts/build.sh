#!/usr/bin/env bash
# Configures and builds one preset (default: the primary 32-bit build).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-i386}
cmake --preset "$preset" >/dev/null
cmake --build "build/$preset"
