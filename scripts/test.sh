#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the normal build, then the
# same suite built with AddressSanitizer+UBSan and with ThreadSanitizer.
#   scripts/test.sh           everything
#   scripts/test.sh --quick   the normal build only
# Then, where Wine is installed, the Windows package (scripts/test-windows.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh"
# Every program the tests call, before any suite starts.
"$top/scripts/check-programs.sh" || { echo "test.sh: programs the tests need are missing" >&2; exit 1; }

run_suite() {
  local dir=$1; shift
  echo "== build $(basename "$dir") $*"
  "$top/scripts/build.sh" "$dir" "$@"
  echo "== test $(basename "$dir")"
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 900)
}

echo "== code format"
(cd "$top" && { git ls-files '*.cpp' '*.h' 2>/dev/null ||
    find cli slide pyramid dicom common nvxlib tools tests bench fuzz -name '*.cpp' -o -name '*.h'; } |
    xargs clang-format --dry-run --Werror)

# The normal build also compiles fuzz/ (with a plain main under g++) and bench/.
run_suite "$top/build" -DNVX_BUILD_FUZZ=ON -DNVX_BUILD_BENCH=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON

echo "== naming (.clang-tidy)"
run-clang-tidy-14 -p "$top/build" -quiet -j2 \
    "$top/(cli|slide|pyramid|dicom|common|nvxlib|tools|tests|bench|fuzz)/" >"$top/build/naming.log" 2>&1 ||
  { grep -A3 'warning:\|error:' "$top/build/naming.log" >&2; echo "naming check failed" >&2; exit 1; }
if [[ "${1:-}" != "--quick" ]]; then
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  # LeakSanitizer of gcc 12 misreads the dynamic TLS of a dlopen'ed and
  # unloaded library under Debian 12's glibc and dies at exit ("Tracer caught
  # signal 11" after "DTLS ... at 0x000000000030"). Set in LSAN_OPTIONS, which
  # the tests pass on to the programs they start as they are.
  export LSAN_OPTIONS=intercept_tls_get_addr=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  run_suite "$top/build-asan" -DNVX_SANITIZE=address,undefined
  export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
  run_suite "$top/build-tsan" -DNVX_SANITIZE=thread
fi
# The Windows package under Wine: where Wine is installed, or where asked
# for (NVX_WINDOWS_TESTS=1, which CI sets); NVX_WINDOWS_TESTS=0 skips it.
windows=${NVX_WINDOWS_TESTS:-auto}
if [[ $windows == auto ]] && command -v wine >/dev/null; then windows=1; fi
if [[ $windows == 1 ]]; then
  "$top/scripts/test-windows.sh" "$top/build"
fi
echo "== all tests passed"
