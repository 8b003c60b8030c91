# The installed service against a disabled Print Spooler (start type set with
# start_type.exe: Wine's "sc config ... start=" changes nothing). Over many
# cycles it writes one warning and nothing else: no recovery, and no daily
# restart although one is due; "recover" refuses with exit code 1 and
# deletes nothing; "status" shows the start type. Enabled again, the
# stopped spooler is repaired at once, and the day's restart, passed over
# while it was disabled, does not follow. Disabled again: a second warning.
nb_deploy disabled_spooler
spool=$(wt_cdrive)/Disabled/Spool
disabled_warning=$(wt_event_re warning 'Print Spooler is disabled; Nimbrel will not start it.')

ds_start_type() {
    wt_run "$BUILD/wine/start_type.exe" Spooler "$1"
    wt_expect_rc "start type $1" 0
}

ds_cleanup() {
    local rc=$?
    wt_run "$BUILD/wine/start_type.exe" Spooler demand
    [ "$WT_RC" = 0 ] || rc=1
    wt_run sc stop Nimbrel
    wt_wait_state Nimbrel STOPPED 15 2>/dev/null || :
    nb_run uninstall
    wt_run sc stop Spooler
    wt_wait_state Spooler STOPPED 10 || rc=1
    rm -rf -- "$(wt_cdrive)/Disabled" "$NB_DIR"
    exit $rc
}
trap ds_cleanup EXIT

ds_count() { # the events since the mark that match the regex
    nb_log | grep -Ec -- "$1" || :
}

nb_ini <<'INI'
[Monitor]
CheckIntervalMs=1000
SpoolDirectory=C:\Disabled\Spool
[Recovery]
StopTimeoutMs=3000
StartTimeoutMs=3000
RestartDelayMs=0
[HealthCheck]
EnableQueueCheck=0
[Schedule]
RestartTime=00:00
INI
mkdir -p -- "$spool" && printf 'job' >"$spool/00001.SPL" || wt_fail "cannot fill the spool folder"

wt_run sc stop Spooler
wt_wait_state Spooler STOPPED 10 || wt_fail "the Spooler did not stop"
ds_start_type disabled
wt_run sc start Spooler
[ "$WT_RC" != 0 ] || wt_fail "a disabled Spooler was started: $(wt_out)"

nb_run install
wt_expect_rc "install" 0
nb_mark_log
wt_run sc start Nimbrel
wt_expect_rc "sc start Nimbrel" 0
nb_wait_log "$disabled_warning" 10 || wt_fail "no warning about the disabled spooler: $(nb_log)"
sleep 6 # six more cycles
wt_expect_eq "warnings over seven cycles" 1 "$(ds_count "$disabled_warning")"
wt_expect_eq "recoveries of a disabled spooler" 0 "$(ds_count 'Recovery started')"

nb_run recover
printf 'Print Spooler is disabled; recovery skipped.\n' | nb_expect_output "recover"
wt_expect_rc "recover" 1
[ -f "$spool/00001.SPL" ] || wt_fail "recover deleted a spool file of a disabled spooler"
nb_run status
wt_out | grep -qx 'Startup type:          Disabled' || wt_fail "status: $(wt_out)"

ds_start_type demand
nb_wait_log "$(wt_event_re info 'Print Spooler recovery completed successfully.')" 15 ||
    wt_fail "the enabled spooler was not repaired: $(nb_log)"
[ ! -e "$spool/00001.SPL" ] || wt_fail "the repair did not clear the spool folder"
wt_expect_eq "daily restarts" 0 "$(ds_count 'Scheduled nightly restart')"

ds_start_type disabled
end=$((SECONDS + 10))
until [ "$(ds_count "$disabled_warning")" = 2 ] || [ "$SECONDS" -ge "$end" ]; do sleep 0.2; done
wt_expect_eq "warnings after a second disabling" 2 "$(ds_count "$disabled_warning")"
