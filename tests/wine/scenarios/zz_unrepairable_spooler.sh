# A Spooler that can never start: three failed recoveries, one rate-limit
# warning, then quiet (7 events in the minute). Named zz_ to run after the
# scenarios that use Wine's own Spooler, which it puts back.
nb_deploy unrepairable_spooler
nb_undo() { nb_restore_spooler; }
trap nb_cleanup EXIT
nb_fast_ini Recovery.StopTimeoutMs=1000 Recovery.StartTimeoutMs=2000 | nb_ini
nb_spooler stop
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
