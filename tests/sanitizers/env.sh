# Run-time options for the sanitizer builds; scripts/test sources this file. To run a
# sanitizer build by hand:  source tests/sanitizers/env.sh && ctest --test-dir build-asan
#
# Every report fails the test: the process stops at the first report with a non-zero status
# (the tests that run camwatch as a child see that status, and its report on stderr).
# The suppression files name system libraries only; see the comments in each.
_cw_sanitizers="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# AddressSanitizer + LeakSanitizer. The fast frame-pointer unwinder records allocation stacks
# (the full one made every allocation four to five times dearer); the leak suppressions match
# the system library that made the allocation, which is the first frame either way.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export LSAN_OPTIONS="suppressions=${_cw_sanitizers}/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=${_cw_sanitizers}/tsan.supp"
unset _cw_sanitizers
