#!/usr/bin/env bash
# The whole test run: installs what is missing, builds every target, runs the native suites
# (plain, ASan+UBSan, TSan), the Windows test executables under Wine and the end-to-end harness.
# Ends with one summary line "Summary: N passed, M failed, K skipped" (steps) and exits non-zero on
# failure. A step that cannot run on this machine (exit 77: 32-bit programs on a kernel without
# 32-bit support) is skipped with its reason, never counted as passed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD

./scripts/install-deps.sh || { echo "install-deps failed"; exit 1; }

passed=0
failed=0
skipped=0
failures=()
skips=()
step() {  # step NAME COMMAND...
  local name=$1
  shift
  echo
  echo "=== $name"
  local t0=$SECONDS rc
  "$@"
  rc=$?
  if ((rc == 0)); then
    passed=$((passed + 1))
    echo "=== $name: PASS ($((SECONDS - t0)) s)"
  elif ((rc == 77)); then
    skipped=$((skipped + 1))
    skips+=("$name")
    echo "=== $name: SKIPPED"
  else
    failed=$((failed + 1))
    failures+=("$name")
    echo "=== $name: FAIL ($((SECONDS - t0)) s)"
  fi
}

build() {  # build PRESET
  cmake --preset "$1" >"build/configure-$1.log" 2>&1 || { cat "build/configure-$1.log"; return 1; }
  cmake --build --preset "$1" -j2
}

# The 32-bit build: whole where its programs can run; otherwise the program and the probe only (the
# libraries and the program still compile for i686; test executables nobody can run would only
# cost build time).
build_win32() {
  # shellcheck source=lib/wine-env.sh
  if (source "$root/scripts/lib/wine-env.sh" && pw_can_run_32bit); then
    build win32
  else
    echo "32-bit programs cannot run here: building the program and the probe only"
    cmake --preset win32 >build/configure-win32.log 2>&1 || { cat build/configure-win32.log; return 1; }
    cmake --build --preset win32 -j2 --target Portwise portwise_probe
  fi
}

native_tests() {  # native_tests PRESET
  build "$1" && ctest --preset "$1" -j2
}


mkdir -p build
step "native tests (linux)" native_tests linux
step "native tests (linux-asan)" native_tests linux-asan
step "native tests (linux-tsan)" native_tests linux-tsan
step "fuzz targets (10 s each)" "$root/scripts/fuzz.sh" 10
step "build win64" build win64
step "build win32" build_win32
step "Windows tests under Wine (win64)" "$root/scripts/run-wine-tests.sh" "$root/build/win64"
step "Windows tests under Wine (win32)" "$root/scripts/run-wine-tests.sh" "$root/build/win32"
step "end-to-end under Wine (win64)" "$root/tests/e2e/run-e2e.sh" "$root/build/win64"
step "end-to-end under Wine (win32)" "$root/tests/e2e/run-e2e.sh" "$root/build/win32"

echo
((failed)) && printf 'failed: %s\n' "${failures[@]}"
((skipped)) && printf 'skipped: %s\n' "${skips[@]}"
echo "Summary: $passed passed, $failed failed, $skipped skipped"
((failed == 0))
