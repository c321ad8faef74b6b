#!/usr/bin/env bash
# The whole test suite, as CI runs it: the packages, the 32-bit Windows
# build, the native build with the tests under wine wired to it, and every
# test. Exits non-zero on the first failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

step() { printf '\n==> %s\n' "$*"; }

step "packages"
scripts/install-deps.sh
command -v wine >/dev/null || { echo "wine is not on PATH: the tests under wine cannot run" >&2; exit 1; }

step "win32: DRAXO.dll, KORVAN.dll, draxo.exe and the wine test host"
cmake --preset win32
cmake --build --preset win32

step "native: libdraxo.so, libkorvan.so, draxo, rexsim and the tests"
cmake --preset native -DDRAXO_WIN32_DIR="$root/build/win32"
cmake --build --preset native

step "tests: unit, end-to-end, linkage and under wine"
ctest --preset native

step "sanitize: the unit and Linux end-to-end suites under ASan and UBSan"
cmake --preset sanitize
cmake --build --preset sanitize
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset sanitize

step "fuzz: each target for a short bounded time"
scripts/fuzz.sh "${DRAXO_FUZZ_SECONDS:-20}"

step "all tests passed"
