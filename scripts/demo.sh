#!/usr/bin/env bash
# The demo on a fresh Debian 12 machine: installs what the build needs,
# builds the native preset and runs `draxo demo` against the simulator.
# Arguments go to `draxo demo`, e.g. scripts/demo.sh --seconds 20
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

scripts/install-deps.sh
cmake --preset native
cmake --build --preset native
exec build/native/bin/draxo demo "$@"
