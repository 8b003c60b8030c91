# Helpers for the Wine tests (sourced; fine under `set -u` and `set -e`). Services
# inherit the first process's WINEDEBUG and stderr, so the keepalive comes first.

# The Debian `wine` wrapper warns about wine32 on stderr: prefer wine64 itself.
if [ -z "${WINE:-}" ]; then
    if [ -x /usr/lib/wine/wine64 ]; then WINE=/usr/lib/wine/wine64; else WINE=wine; fi
fi
: "${WINESERVER:=wineserver}"
# Event log entries are printed as <tid>:{trace|warn|err}:eventlog:ReportEventW L"text".
: "${WT_SERVICE_DEBUG:=-all,trace+eventlog,warn+eventlog,err+eventlog}"
# Seconds after which wt_run gives up on a command (exit status 124).
: "${WT_CMD_TIMEOUT:=60}"

WT_DIR=${WT_DIR:-} WT_PREFIX=${WT_PREFIX:-} WT_LOG=${WT_LOG:-}
WT_KEEPALIVE_PID=${WT_KEEPALIVE_PID:-} WT_OUT=${WT_OUT:-} WT_ERR=${WT_ERR:-} WT_RC=${WT_RC:-}

# Print a failure on stderr and exit 1 (teardown runs from the trap).
wt_fail() {
    printf 'FAIL: %s\n' "$*" >&2
    exit 1
}

# wt_until SECONDS CONDITION: poll the shell CONDITION until it holds; returns 1 after SECONDS.
wt_until() {
    local end=$((SECONDS + $1))
    until eval "$2"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.1
    done
}

# wt_prefix: create and boot a fresh headless prefix in a new temporary directory.
wt_prefix() {
    WT_DIR=$(mktemp -d "${TMPDIR:-/tmp}/wt.XXXXXX") || wt_fail "mktemp failed"
    WT_PREFIX=$WT_DIR/prefix
    WT_LOG=$WT_DIR/keepalive.log WT_OUT=$WT_DIR/stdout WT_ERR=$WT_DIR/stderr
    export WINEPREFIX=$WT_PREFIX
    export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
    export WINEDEBUG=-all
    unset DISPLAY WAYLAND_DISPLAY
    timeout -k 10 300 "$WINE" wineboot --init >"$WT_DIR/wineboot.log" 2>&1 ||
        wt_fail "wineboot failed: $(cat "$WT_DIR/wineboot.log")"
    # The keepalive must be the first process again, for services to inherit its settings.
    timeout 60 "$WINESERVER" -w || wt_fail "wineserver did not exit after wineboot"
}

# wt_keepalive EXE: start the keepalive (Unix path) with service debug output going to $WT_LOG; waits until it runs.
wt_keepalive() {
    [ -f "${1:-}" ] || wt_fail "wt_keepalive: no such program: ${1:-}"
    WINEDEBUG=$WT_SERVICE_DEBUG "$WINE" "$1" >"$WT_DIR/keepalive.out" 2>"$WT_LOG" </dev/null &
    WT_KEEPALIVE_PID=$!
    wt_until 30 'grep -q ready "$WT_DIR/keepalive.out" 2>/dev/null || ! kill -0 "$WT_KEEPALIVE_PID" 2>/dev/null'
    grep -q ready "$WT_DIR/keepalive.out" 2>/dev/null || wt_fail "keepalive did not start: $(cat "$WT_LOG")"
}

# wt_run CMD [ARG...]: run a Windows program; sets WT_RC, stdout bytes in file $WT_OUT, stderr in $WT_ERR; always returns 0.
wt_run() {
    WT_RC=0
    timeout -k 5 "$WT_CMD_TIMEOUT" "$WINE" "$@" >"$WT_OUT" 2>"$WT_ERR" </dev/null || WT_RC=$?
    return 0
}

# wt_bg NAME CMD [ARG...]: wt_run in the background, into $WT_DIR/NAME.{out,rc,ms}; `wait`, then wt_bg_result NAME.
wt_bg() {
    local name=$1 start
    shift
    (
        start=$(date +%s%N)
        WT_OUT=$WT_DIR/$name.out WT_ERR=/dev/null wt_run "$@"
        echo "$WT_RC" >"$WT_DIR/$name.rc"
        echo $((($(date +%s%N) - start) / 1000000)) >"$WT_DIR/$name.ms"
    ) &
}

# wt_bg_result NAME: make the finished wt_bg NAME the last command.
wt_bg_result() { WT_OUT=$WT_DIR/$1.out WT_RC=$(cat "$WT_DIR/$1.rc"); }

# Print the last command's stdout as text (carriage returns removed).
wt_out() { tr -d '\r' <"$WT_OUT"; }

# wt_reg_value NAME: print "TYPE VALUE" of one value as the last `reg query` showed it.
wt_reg_value() {
    wt_out | sed -n "s/^ *$1 \{4\}\(REG_[A-Z_]*\) \{4\}\(.*\)\$/\1 \2/p"
}

# wt_state NAME: print the service's state word (RUNNING, STOPPED, ...) from `sc query`; empty if unknown.
wt_state() {
    wt_run sc query "$1"
    wt_out | sed -n 's/^ *STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'
}

# wt_wait_state NAME STATE [SECONDS]: poll until the service is in STATE; returns 1 (with a message) on timeout.
wt_wait_state() {
    local name=$1 want=$2 secs=${3:-30} got
    wt_until "$secs" 'got=$(wt_state "$name") && [ "$got" = "$want" ]' && return 0
    printf 'service %s: expected state %s within %ss, got %s\n' "$name" "$want" "$secs" "${got:-none}" >&2
    return 1
}

# wt_procs TEXT: the number of running (not zombie) processes whose command line holds TEXT.
wt_procs() {
    # Through the environment, so that awk's own command line does not hold it.
    ps -eo stat=,args= | WT_PROC_TEXT=$1 \
        awk '$1 !~ /^Z/ && index($0, ENVIRON["WT_PROC_TEXT"]) { n++ } END { print n + 0 }'
}

# wt_expect_procs WHAT TEXT N SECONDS: fail unless wt_procs TEXT comes to N within SECONDS.
wt_expect_procs() {
    local text=$2 n=$3
    wt_until "$4" '[ "$(wt_procs "$text")" = "$n" ]' || wt_fail "$1: $(wt_procs "$2") processes, not $3"
}

# wt_event_re TYPE TEXT: print a regex for the log line of one event string (TYPE info|warning|error; TEXT printable ASCII, at most 289 chars, matched whole).
wt_event_re() {
    local level
    case $1 in
        info) level=trace ;;
        warning) level=warn ;;
        error) level=err ;;
        *) wt_fail "wt_event_re: unknown event type $1" ;;
    esac
    # Escaped as Wine prints a C literal, then for the regex.
    local text
    text=$(printf '%s' "$2" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/[][\.*^$+?(){}|]/\\&/g')
    printf '^[0-9a-f]+:%s:eventlog:ReportEventW L"%s"$' "$level" "$text"
}

# wt_expect_eq WHAT EXPECTED ACTUAL: fail unless equal.
wt_expect_eq() { [ "$2" = "$3" ] || wt_fail "$1: expected [$2], got [$3]"; }

# wt_expect_rc WHAT EXPECTED: fail unless the last wt_run exited with EXPECTED.
wt_expect_rc() {
    [ "$WT_RC" = "$2" ] || wt_fail "$1: expected exit code $2, got $WT_RC; stdout: [$(wt_out)]"
}

# Print the Unix path of the prefix's C: drive (Windows C:\x is $(wt_cdrive)/x).
wt_cdrive() { printf '%s/drive_c\n' "$WT_PREFIX"; }

# wt_winpath UNIXPATH: print the Windows path of an absolute Unix path (through drive Z:).
wt_winpath() { printf 'Z:%s\n' "${1//\//\\}"; }

# wt_teardown: stop this prefix's Wine and delete its directory (kept if WT_KEEP is set); keeps $?; for traps.
wt_teardown() {
    local rc=$?
    if [ -n "$WT_PREFIX" ] && [ -d "$WT_PREFIX" ]; then
        WINEPREFIX=$WT_PREFIX "$WINESERVER" -k >/dev/null 2>&1 || :
        WINEPREFIX=$WT_PREFIX timeout 30 "$WINESERVER" -w >/dev/null 2>&1 || :
    fi
    if [ -n "$WT_KEEPALIVE_PID" ]; then
        kill "$WT_KEEPALIVE_PID" 2>/dev/null || :
        wait "$WT_KEEPALIVE_PID" 2>/dev/null || :
        WT_KEEPALIVE_PID=
    fi
    if [ -n "${WT_KEEP:-}" ]; then
        [ -n "$WT_DIR" ] && printf 'kept %s\n' "$WT_DIR" >&2
    elif [ -n "$WT_DIR" ]; then
        rm -rf -- "$WT_DIR" || :
    fi
    WT_PREFIX= WT_DIR=
    return $rc
}
