# The installed service, checking every second, against a Print Spooler that
# can never start (registered with a program that does not exist): three
# failed recoveries, each counted by the hourly limit, and one rate-limit
# warning, then quiet: 7 events in the minute, where every cycle used to
# write two. Prints the figure.
#
# Named zz_ to run after the scenarios that use Wine's own Spooler, whose
# registration (C:\windows\system32\spoolsv.exe, demand start) it puts back.
nb_deploy unrepairable_spooler

ur_cleanup() {
    local rc=$?
    wt_run sc stop Nimbrel
    wt_wait_state Nimbrel STOPPED 15 2>/dev/null || :
    nb_run uninstall
    wt_run sc delete Spooler
    wt_run sc create Spooler binPath= 'C:\windows\system32\spoolsv.exe' type= own type= interact \
        start= demand displayname= 'Print Spooler' group= SpoolerGroup
    [ "$WT_RC" = 0 ] || rc=1
    wt_run sc description Spooler 'Loads files to memory for later printing'
    rm -rf -- "$NB_DIR"
    exit $rc
}
trap ur_cleanup EXIT

nb_ini <<'INI'
[Monitor]
CheckIntervalMs=1000
[Recovery]
StopTimeoutMs=1000
StartTimeoutMs=2000
RestartDelayMs=0
[HealthCheck]
EnableQueueCheck=0
[Schedule]
EnableScheduledRestart=0
INI
wt_run sc stop Spooler
wt_wait_state Spooler STOPPED 10 || wt_fail "the Spooler did not stop"
wt_run sc delete Spooler
wt_run sc create Spooler binPath= 'C:\Nowhere\spoolsv.exe' type= own start= demand
wt_expect_rc "sc create Spooler (nowhere)" 0

nb_run install
wt_expect_rc "install" 0
nb_mark_log
wt_run sc start Nimbrel
wt_expect_rc "sc start Nimbrel" 0
nb_wait_log "$(wt_event_re info 'Nimbrel service started.')" 10 || wt_fail "no start message"
sleep 60
events=$(nb_log | grep -E ':eventlog:ReportEventW ' | grep -vc 'Nimbrel service' || :)
printf 'a spooler that cannot start, CheckIntervalMs=1000: %s events in a minute\n' "$events"
wt_expect_eq "recoveries started" 3 \
    "$(nb_log | grep -Ec "$(wt_event_re warning 'Recovery started: Automatic recovery: Print Spooler service is stopped')" || :)"
wt_expect_eq "failed starts" 3 \
    "$(nb_log | grep -Ec "$(wt_event_re error 'Failed to start Print Spooler during recovery.')" || :)"
wt_expect_eq "rate-limit warnings" 1 \
    "$(nb_log | grep -Ec "$(wt_event_re warning 'Print Spooler unhealthy but recovery rate limit reached. Waiting.')" || :)"
wt_expect_eq "events in a minute" 7 "$events"
