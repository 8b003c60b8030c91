# "recover": only *.SPL and *.SHD (any case) directly in the spool folder go,
# with the Spooler running or stopped, in the folder the settings or the moved
# DefaultSpoolDirectory name. (Wine cannot link to a file: it deletes the target.)
nb_deploy recover
spool=$(wt_cdrive)/Recover/Spool
outside=$(wt_cdrive)/Recover/Outside

printers='HKLM\SYSTEM\CurrentControlSet\Control\Print\Printers'
wt_run reg query "$printers" /v DefaultSpoolDirectory
default_spool=$(wt_out | sed -n 's/^ *DefaultSpoolDirectory *REG_[A-Z_]* *//p')
[ -n "$default_spool" ] || wt_fail "no DefaultSpoolDirectory in a new prefix: $(wt_out)"
nb_undo() {
    wt_run reg add "$printers" /v DefaultSpoolDirectory /t REG_SZ /d "$default_spool" /f
    [ "$WT_RC" = 0 ]
}
NB_TRASH=("$(wt_cdrive)/Recover")
trap nb_cleanup EXIT

rc_ini() { # $1: ClearSpoolOnRecovery, or none for no [Monitor] section
    { [ -z "${1:-}" ] || printf '[Monitor]\nSpoolDirectory=C:\\Recover\\Spool\nClearSpoolOnRecovery=%s\n' "$1"
      printf '[Recovery]\nStopTimeoutMs=3000\nStartTimeoutMs=3000\n[Schedule]\nClearSpoolOnScheduledRestart=1\n'
    } | nb_ini
}

# A crashed spooler's folder, with things that must stay.
gone=(00012.SPL 00012.shd FP00013.Spl "name with spaces.SPL")
kept=(ReadOnly.SHD Sub/Inner.SPL Sub/Deeper/Deep.SPL "name with spaces.tmp" notes.txt report.spl.bak SPL)
rc_fill_spool() {
    rm -rf -- "$(wt_cdrive)/Recover"
    mkdir -p -- "$spool/Sub/Deeper" "$outside/Dir" || wt_fail "cannot create the spool folder"
    for f in "${gone[@]}" "${kept[@]}"; do
        printf 'job' >"$spool/$f"
    done
    chmod 444 "$spool/ReadOnly.SHD"
    printf 'keep' >"$outside/Dir/victim.SPL"
    ln -s "$outside/Dir" "$spool/DirLink"
}

# rc_recover WHAT EVENT...: "recover" succeeds and writes exactly these events
# ("type|text"), in order, to its own stderr (a console process's event log).
rc_recover() {
    local what=$1
    shift
    WINEDEBUG=$WT_SERVICE_DEBUG nb_run recover
    printf 'Print Spooler recovery completed.\n' | nb_expect_output "$what"
    wt_expect_rc "$what" 0
    wt_expect_eq "$what: events" "$(printf '%s\n' "$@")" "$(sed -n -e 's/^[0-9a-f]*:trace:/info:/' \
        -e 's/^[0-9a-f]*:warn:/warning:/' -e 's/^[0-9a-f]*:err:/error:/' \
        -e 's/^\([a-z]*\):eventlog:ReportEventW L"\(.*\)"$/\1|\2/p' "$WT_ERR")"
    wt_wait_state Spooler RUNNING 1 || wt_fail "$what: the Spooler is not running afterwards"
}

rc_expect_cleared() {
    local f
    for f in "${gone[@]}"; do
        [ ! -e "$spool/$f" ] || wt_fail "$1: $f was not deleted"
    done
    for f in "${kept[@]}"; do
        [ -f "$spool/$f" ] || wt_fail "$1: $f was deleted"
    done
    [ "$(cat "$outside/Dir/victim.SPL" 2>&1)" = keep ] ||
        wt_fail "$1: a file outside the spool folder was touched through a link"
    [ -e "$spool/DirLink" ] || wt_fail "$1: the link to a folder was removed"
}

started="warning|Recovery started: Manual recovery requested from command line"
left="warning|Some spool files could not be deleted during recovery."
done_ok="info|Print Spooler recovery completed successfully."

nb_spooler start
rc_ini 1
for state in running stopped; do
    [ "$state" = running ] || nb_spooler stop
    rc_fill_spool
    rc_recover "spooler $state" "$started" "$left" "$done_ok"
    rc_expect_cleared "spooler $state"
done

# ClearSpoolOnScheduledRestart=1 does not matter here: nothing is deleted.
rc_ini 0
rc_fill_spool
before=$(cd "$(wt_cdrive)/Recover" && find . | sort)
rc_recover "ClearSpoolOnRecovery=0" "$started" "$done_ok"
wt_expect_eq "ClearSpoolOnRecovery=0: the spool folder" "$before" "$(cd "$(wt_cdrive)/Recover" && find . | sort)"

# No SpoolDirectory: the folder DefaultSpoolDirectory names, not Wine's default.
rc_ini
rc_fill_spool
default_unix="$(wt_cdrive)/windows/system32/spool/printers"
mkdir -p -- "$default_unix" && printf 'job' >"$default_unix/00099.SPL" ||
    wt_fail "cannot fill the default spool folder"
wt_run reg add "$printers" /v DefaultSpoolDirectory /t REG_SZ /d 'C:\Recover\Spool' /f
wt_expect_rc "reg add DefaultSpoolDirectory" 0
nb_run status
wt_out | grep -qx 'Spool folder:          C:\\Recover\\Spool' ||
    wt_fail "status does not show the moved spool folder: $(wt_out)"
rc_recover "moved spool folder" "$started" "$left" "$done_ok"
rc_expect_cleared "moved spool folder"
[ -f "$default_unix/00099.SPL" ] || wt_fail "the default spool folder was cleared"
rm -f -- "$default_unix/00099.SPL"
