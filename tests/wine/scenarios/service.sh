# The service under Wine's service manager: it starts, repairs a spooler that
# was stopped behind its back, and stops on request, writing each step to
# the event log.
nb_deploy service
nb_ini <<'EOF'
[Monitor]
CheckIntervalMs=1000
[Recovery]
RestartDelayMs=0
[HealthCheck]
EnableQueueCheck=0
[Schedule]
EnableScheduledRestart=0
EOF

# Scenarios share the log: only what is written from here on counts.
nb_mark_log

# Leave the prefix as it was, also when a step fails.
svc_cleanup() {
    local rc=$?
    wt_run sc stop Nimbrel
    wt_wait_state Nimbrel STOPPED 10 2>/dev/null || :
    nb_run uninstall
    wt_run sc stop Spooler
    wt_wait_state Spooler STOPPED 10 2>/dev/null || :
    rm -rf -- "$NB_DIR"
    return $rc
}
trap svc_cleanup EXIT

nb_run install
printf 'Service installed successfully.\n' | nb_expect_output "install"

wt_run sc start Spooler
wt_wait_state Spooler RUNNING 10 || wt_fail "the Spooler did not start"

wt_run sc start Nimbrel
wt_expect_rc "sc start Nimbrel" 0
wt_wait_state Nimbrel RUNNING 10 || wt_fail "Nimbrel did not report running"
nb_wait_log "$(wt_event_re info 'Nimbrel service started.')" 10 ||
    wt_fail "no start message in the event log"

# Broken behind Nimbrel's back: the next cycle, a second later, repairs it.
wt_run sc stop Spooler
nb_wait_log "$(wt_event_re warning 'Recovery started: Automatic recovery: Print Spooler service is stopped')" 10 ||
    wt_fail "no automatic recovery of the stopped Spooler"
nb_wait_log "$(wt_event_re info 'Print Spooler recovery completed successfully.')" 10 ||
    wt_fail "the automatic recovery did not complete"
wt_wait_state Spooler RUNNING 5 || wt_fail "the Spooler is not running after the recovery"

wt_run sc stop Nimbrel
wt_expect_rc "sc stop Nimbrel" 0
nb_wait_log "$(wt_event_re info 'Nimbrel service stopped.')" 10 ||
    wt_fail "no stop message in the event log"
wt_wait_state Nimbrel STOPPED 10 || wt_fail "Nimbrel did not report stopped"

# One recovery only: the spooler was healthy again after it.
count=$(nb_log | grep -cE "$(wt_event_re warning 'Recovery started: Automatic recovery: Print Spooler service is stopped')")
wt_expect_eq "automatic recoveries" 1 "$count"
nb_log | grep -E ':eventlog:ReportEventW' | grep -vE 'Nimbrel service|Recovery started|recovery completed' &&
    wt_fail "unexpected event-log entries"
:
