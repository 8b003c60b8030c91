#!/usr/bin/env bash
# Runs under Wine in one fresh prefix the unit tests, the contract tests on the
# real API and every scenario (or the scenarios named). Each scenario,
# scenarios/NAME.sh, is sourced in a subshell with lib.sh and nimbrel.sh, fails
# with wt_fail, and leaves the shared prefix as it found it.
set -u
here=$(cd "$(dirname "$0")" && pwd)
WT_HERE=$here # the shared expected outputs
[ $# -ge 1 ] || { echo "usage: $0 BUILD_DIR [SCENARIO...]" >&2; exit 2; }
BUILD=$(cd "$1" && pwd) || exit 2
shift
. "$here/lib.sh"
. "$here/nimbrel.sh"
trap wt_teardown EXIT

started=$SECONDS
wt_prefix
wt_keepalive "$BUILD/wine/keepalive.exe"
printf 'prefix ready in %ss\n' $((SECONDS - started))

failed=0
# gtest WHAT EXE: a GoogleTest program of the build, counted as one result.
gtest() {
    WT_CMD_TIMEOUT=300 wt_run "$BUILD/$2" --gtest_brief=1
    if [ "$WT_RC" = 0 ]; then
        printf 'PASS %s: %s\n' "$1" "$(wt_out | grep -E '^\[ *PASSED' || true)"
    else
        printf 'FAIL %s (exit %s)\n' "$1" "$WT_RC"
        wt_out
        failed=$((failed + 1))
    fi
}
if [ $# -eq 0 ]; then
    gtest "unit tests under Wine" tests/nimbrel_tests.exe
    gtest "contract tests on the real API" wine/contract_tests.exe
    set -- $(cd "$here/scenarios" && ls *.sh 2>/dev/null | sed 's/\.sh$//')
fi
for name in "$@"; do
    log=$WT_DIR/scenario.log
    t=$SECONDS
    if ( . "$here/scenarios/$name.sh" ) >"$log" 2>&1; then
        printf 'PASS %s (%ss)\n' "$name" $((SECONDS - t))
    else
        printf 'FAIL %s (%ss)\n' "$name" $((SECONDS - t))
        sed 's/^/    /' "$log"
        failed=$((failed + 1))
    fi
done
printf 'Wine run: %s failed, %ss in all\n' "$failed" $((SECONDS - started))
[ "$failed" = 0 ]
