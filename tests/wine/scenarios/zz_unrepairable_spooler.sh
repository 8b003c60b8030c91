# The installed service, checking every second, against a Print Spooler that
# can never start (registered with a program that does not exist): three
# failed recoveries, each counted by the hourly limit, and one rate-limit
# warning, then quiet: 7 events in the minute, where every cycle used to
# write two. Prints the figure.
#
# Named zz_ to run after the scenarios that use Wine's own Spooler, whose
# registration it puts back.
nb_deploy unrepairable_spooler
nb_undo() { nb_restore_spooler; }
trap nb_cleanup EXIT
nb_fast_ini Recovery.StopTimeoutMs=1000 Recovery.StartTimeoutMs=2000 | nb_ini
wt_run sc stop Spooler
wt_wait_state Spooler STOPPED 10 || wt_fail "the Spooler did not stop"
wt_run sc delete Spooler
wt_run sc create Spooler binPath= 'C:\Nowhere\spoolsv.exe' type= own start= demand
wt_expect_rc "sc create Spooler (nowhere)" 0

nb_install
nb_start
sleep 60
events=$(nb_log | grep -E ':eventlog:ReportEventW ' | grep -vc 'Nimbrel service' || :)
printf 'a spooler that cannot start, CheckIntervalMs=1000: %s events in a minute\n' "$events"
wt_expect_eq "recoveries started" 3 \
    "$(nb_count warning 'Recovery started: Automatic recovery: Print Spooler service is stopped')"
wt_expect_eq "failed starts" 3 "$(nb_count error 'Failed to start Print Spooler during recovery.')"
wt_expect_eq "rate-limit warnings" 1 \
    "$(nb_count warning 'Print Spooler unhealthy but recovery rate limit reached. Waiting.')"
wt_expect_eq "events in a minute" 7 "$events"
