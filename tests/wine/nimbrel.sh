# Helpers for the Nimbrel scenarios; sourced after lib.sh by run.sh, which sets BUILD.

# nb_deploy NAME: Nimbrel.exe in "C:\Nimbrel Tests\NAME"; sets NB_DIR (Unix), NB_WINDIR, NB_EXE.
nb_deploy() {
    NB_WINDIR="C:\\Nimbrel Tests\\$1"
    NB_DIR="$(wt_cdrive)/Nimbrel Tests/$1"
    NB_EXE="$NB_WINDIR\\Nimbrel.exe"
    rm -rf -- "$NB_DIR"
    mkdir -p -- "$NB_DIR" || wt_fail "cannot create $NB_DIR"
    cp -- "$BUILD/Nimbrel.exe" "$NB_DIR/" || wt_fail "cannot copy Nimbrel.exe"
}

# nb_ini: write standard input as "Nimbrel.ini" beside the deployed executable, with CRLF line ends.
nb_ini() {
    sed 's/$/\r/' >"$NB_DIR/Nimbrel.ini"
}

# nb_fast_ini [SECTION.KEY=VALUE...]: settings for a service seen at work at once
# (a check a second, no repair delay, queue check or daily restart), plus these.
nb_fast_ini() {
    local section
    for section in Monitor Recovery HealthCheck Schedule; do
        printf '[%s]\n' "$section"
        printf '%s\n' "$@" Monitor.CheckIntervalMs=1000 Recovery.RestartDelayMs=0 \
            HealthCheck.EnableQueueCheck=0 Schedule.EnableScheduledRestart=0 |
            awk -F= -v s="$section." 'index($0, s) == 1 && !seen[$1]++ { print substr($0, length(s) + 1) }'
    done
}

# nb_run ARG...: run the deployed Nimbrel.exe (see wt_run for WT_RC, WT_OUT).
nb_run() { wt_run "$NB_EXE" "$@"; }

# nb_expect_output WHAT: fail unless the last command's stdout equals standard input, byte for byte.
nb_expect_output() {
    local expected=$WT_DIR/expected
    cat >"$expected"
    cmp -s "$expected" "$WT_OUT" ||
        wt_fail "$1: output differs (^M is a CR): $(diff <(cat -A "$expected") <(cat -A "$WT_OUT") | head -40)"
}

# nb_mark_log: from here on nb_log sees only what the shared keepalive log gains.
nb_mark_log() { NB_LOG_FROM=$(($(wc -l <"$WT_LOG") + 1)); }

# nb_log: the keepalive log since the last nb_mark_log.
nb_log() { tail -n +"${NB_LOG_FROM:-1}" "$WT_LOG"; }

# nb_events: the texts of the events since the mark, one a line.
nb_events() { nb_log | sed -n 's/^[0-9a-f]*:[a-z]*:eventlog:ReportEventW L"\(.*\)"$/\1/p'; }

# nb_count TYPE TEXT: the number of such events since the mark.
nb_count() { nb_log | grep -Ec -- "$(wt_event_re "$1" "$2")" || :; }

# nb_expect_event TYPE TEXT SECONDS: fail unless such an event comes within SECONDS.
nb_expect_event() {
    local re
    re=$(wt_event_re "$1" "$2")
    wt_until "$3" 'nb_log | grep -Eq -- "$re"' ||
        wt_fail "no event [$2] within $3 s; events: $(nb_events | tr '\n' '|')"
}

# nb_install: register the deployed executable as the service.
nb_install() {
    nb_run install
    printf 'Service installed successfully.\n' | nb_expect_output "install"
    wt_expect_rc "install" 0
}

# nb_start: mark the log and start the service; fail unless it runs and says so.
nb_start() {
    nb_mark_log
    wt_run sc start Nimbrel
    wt_expect_rc "sc start Nimbrel" 0
    nb_expect_event info 'Nimbrel service started.' 10
    wt_wait_state Nimbrel RUNNING 10 || wt_fail "Nimbrel did not report running"
}

# nb_stop: stop the service; fail unless it stops.
nb_stop() {
    wt_run sc stop Nimbrel
    wt_wait_state Nimbrel STOPPED 15 || wt_fail "Nimbrel did not stop"
}

# nb_spooler start|stop: fail unless the Spooler gets there (a start must succeed).
nb_spooler() {
    local want=STOPPED
    wt_run sc "$1" Spooler
    if [ "$1" = start ]; then
        wt_expect_rc "sc start Spooler" 0
        want=RUNNING
    fi
    wt_wait_state Spooler $want 10 || wt_fail "the Spooler did not $1"
}

# nb_cleanup: for `trap nb_cleanup EXIT`: Nimbrel stopped, nb_undo run if defined, Nimbrel
# removed, the Spooler stopped (or fail), NB_DIR and NB_TRASH deleted.
nb_cleanup() {
    local rc=$?
    wt_run sc stop Nimbrel
    wt_wait_state Nimbrel STOPPED 15 2>/dev/null || :
    if declare -F nb_undo >/dev/null; then nb_undo || rc=1; fi
    [ -z "${NB_EXE:-}" ] || nb_run uninstall
    wt_run sc stop Spooler
    wt_wait_state Spooler STOPPED 10 || rc=1
    rm -rf -- ${NB_DIR:+"$NB_DIR"} "${NB_TRASH[@]}"
    exit $rc
}
NB_TRASH=()

# nb_restore_spooler: Wine's own Spooler registration, as after boot.
nb_restore_spooler() {
    wt_run sc delete Spooler
    wt_run sc create Spooler binPath= 'C:\windows\system32\spoolsv.exe' type= own type= interact \
        start= demand displayname= 'Print Spooler' group= SpoolerGroup
    [ "$WT_RC" = 0 ] || return 1
    wt_run sc description Spooler 'Loads files to memory for later printing'
}

# nb_expect_unregistered WHAT: fail if the service's key is there.
nb_expect_unregistered() {
    wt_run reg query 'HKLM\System\CurrentControlSet\Services\Nimbrel'
    [ "$WT_RC" != 0 ] || wt_fail "$1: the service's key is still there: $(wt_out)"
}

# nb_package GLOB: set NB_FILE to the one file of the build matching GLOB (package target).
nb_package() {
    local files=("$BUILD"/$1)
    [ -f "${files[0]}" ] || wt_fail "no $1 in $BUILD (cmake --build --preset mingw --target package)"
    [ ${#files[@]} = 1 ] || wt_fail "more than one $1 in $BUILD: ${files[*]}"
    NB_FILE=${files[0]}
    echo "$(basename "$NB_FILE"): $(stat -c %s "$NB_FILE") bytes"
}

# nb_expect_registration WHAT EXE: the service's key as "install" writes it, for EXE.
nb_expect_registration() {
    wt_run reg query 'HKLM\System\CurrentControlSet\Services\Nimbrel'
    wt_expect_rc "$1: reg query" 0
    local row
    for row in "ImagePath=REG_SZ \"$2\"" "Type=REG_DWORD 0x10" "Start=REG_DWORD 0x2" \
        "ErrorControl=REG_DWORD 0x1" "ObjectName=REG_SZ LocalSystem" "DisplayName=REG_SZ Nimbrel" \
        "Description=REG_SZ Monitors and automatically repairs the Windows Print Spooler service."; do
        wt_expect_eq "$1: ${row%%=*}" "${row#*=}" "$(wt_reg_value "${row%%=*}")"
    done
}

# nb_zip_files ZIP: the files in the release ZIP, sorted, one a line.
nb_zip_files() {
    python3 -c 'import sys, zipfile
for n in sorted(zipfile.ZipFile(sys.argv[1]).namelist()):
    n.endswith("/") or print(n)' "$1" || wt_fail "cannot read $1"
}
