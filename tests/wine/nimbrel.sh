# Helpers for the Nimbrel scenarios under Wine; sourced after lib.sh by run.sh,
# which sets BUILD to the cross build's folder.

# nb_deploy NAME: copy Nimbrel.exe into "C:\Nimbrel Tests\NAME" (a path with a
# space, as under Program Files); sets NB_DIR (Unix), NB_WINDIR and NB_EXE (Windows).
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

# nb_fast_ini [SECTION.KEY=VALUE...]: print the settings of a service seen at
# work at once (a check a second, a repair without delay, no queue check, no
# daily restart), the values given taking the place of these.
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
nb_run() {
    wt_run "$NB_EXE" "$@"
}

# nb_expect_output WHAT: fail unless the last command's stdout equals standard input, byte for byte.
nb_expect_output() {
    local expected=$WT_DIR/expected
    cat >"$expected"
    cmp -s "$expected" "$WT_OUT" ||
        wt_fail "$1: output differs; expected:
$(od -c "$expected" | head -40)
got:
$(od -c "$WT_OUT" | head -40)"
}

# nb_mark_log: from here on nb_log sees only what the keepalive log gains;
# scenarios share the one log.
nb_mark_log() {
    NB_LOG_FROM=$(($(wc -l <"$WT_LOG") + 1))
}

# nb_log: the keepalive log since the last nb_mark_log.
nb_log() {
    tail -n +"${NB_LOG_FROM:-1}" "$WT_LOG"
}

# nb_events: the texts of the events since the mark, one a line.
nb_events() {
    nb_log | sed -n 's/^[0-9a-f]*:[a-z]*:eventlog:ReportEventW L"\(.*\)"$/\1/p'
}

# nb_count TYPE TEXT: the number of such events since the mark.
nb_count() {
    nb_log | grep -Ec -- "$(wt_event_re "$1" "$2")" || :
}

# nb_expect_event TYPE TEXT SECONDS: fail unless such an event comes within SECONDS.
nb_expect_event() {
    local end=$((SECONDS + $3)) re
    re=$(wt_event_re "$1" "$2")
    until nb_log | grep -Eq -- "$re"; do
        [ "$SECONDS" -lt "$end" ] || wt_fail "no event [$2] within $3 s; events: $(nb_events | tr '\n' '|')"
        sleep 0.1
    done
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

# nb_cleanup: for `trap nb_cleanup EXIT`: leave the prefix as it was, also
# after a failed step: the service stopped, the scenario's own nb_undo run if
# it has one, the service removed, the Spooler stopped, NB_DIR and NB_TRASH
# deleted. A failed undo or a Spooler that does not stop fails the scenario.
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

# nb_expect_registration WHAT EXE: the service's key as "install" writes it, for EXE.
nb_expect_registration() {
    wt_run reg query 'HKLM\System\CurrentControlSet\Services\Nimbrel'
    wt_expect_rc "$1: reg query" 0
    wt_expect_eq "$1: ImagePath" "REG_SZ \"$2\"" "$(wt_reg_value ImagePath)"
    wt_expect_eq "$1: Type" "REG_DWORD 0x10" "$(wt_reg_value Type)"
    wt_expect_eq "$1: Start" "REG_DWORD 0x2" "$(wt_reg_value Start)"
    wt_expect_eq "$1: ErrorControl" "REG_DWORD 0x1" "$(wt_reg_value ErrorControl)"
    wt_expect_eq "$1: ObjectName" "REG_SZ LocalSystem" "$(wt_reg_value ObjectName)"
    wt_expect_eq "$1: DisplayName" "REG_SZ Nimbrel" "$(wt_reg_value DisplayName)"
    wt_expect_eq "$1: Description" \
        "REG_SZ Monitors and automatically repairs the Windows Print Spooler service." \
        "$(wt_reg_value Description)"
}

# nb_zip_files ZIP: the files in the release ZIP, sorted, one a line.
nb_zip_files() {
    python3 -c 'import sys, zipfile
for n in sorted(zipfile.ZipFile(sys.argv[1]).namelist()):
    n.endswith("/") or print(n)' "$1" || wt_fail "cannot read $1"
}
