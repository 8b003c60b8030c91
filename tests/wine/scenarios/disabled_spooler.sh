# A disabled Print Spooler: one warning over many cycles, no recovery, no due
# daily restart; "recover" refuses and deletes nothing. Enabled again, it is
# repaired at once without the passed-over restart; disabled again, a warning.
nb_deploy disabled_spooler
spool=$(wt_cdrive)/Disabled/Spool
disabled_warning='Print Spooler is disabled; Nimbrel will not start it.'
start_type() {
    wt_run "$BUILD/wine/start_type.exe" Spooler "$1"
    wt_expect_rc "start type $1" 0
}
nb_undo() { (start_type demand); }
NB_TRASH=("$(wt_cdrive)/Disabled")
trap nb_cleanup EXIT

nb_fast_ini 'Monitor.SpoolDirectory=C:\Disabled\Spool' Recovery.StopTimeoutMs=3000 \
    Recovery.StartTimeoutMs=3000 Schedule.EnableScheduledRestart=1 Schedule.RestartTime=00:00 | nb_ini
mkdir -p -- "$spool" && printf 'job' >"$spool/00001.SPL" || wt_fail "cannot fill the spool folder"

nb_spooler stop
start_type disabled
wt_run sc start Spooler
[ "$WT_RC" != 0 ] || wt_fail "a disabled Spooler was started: $(wt_out)"

nb_install
nb_start
nb_expect_event warning "$disabled_warning" 10
sleep 6
wt_expect_eq "warnings over seven cycles" 1 "$(nb_count warning "$disabled_warning")"
wt_expect_eq "recoveries of a disabled spooler" 0 "$(nb_log | grep -c 'Recovery started' || :)"

nb_run recover
printf 'Print Spooler is disabled; recovery skipped.\n' | nb_expect_output "recover"
wt_expect_rc "recover" 1
[ -f "$spool/00001.SPL" ] || wt_fail "recover deleted a spool file of a disabled spooler"
nb_run status
wt_out | grep -qx 'Startup type:          Disabled' || wt_fail "status: $(wt_out)"

start_type demand
nb_expect_event info 'Print Spooler recovery completed successfully.' 15
[ ! -e "$spool/00001.SPL" ] || wt_fail "the repair did not clear the spool folder"
wt_expect_eq "daily restarts" 0 "$(nb_log | grep -c 'Scheduled nightly restart' || :)"

start_type disabled
wt_until 10 '[ "$(nb_count warning "$disabled_warning")" = 2 ]'
wt_expect_eq "warnings after a second disabling" 2 "$(nb_count warning "$disabled_warning")"
