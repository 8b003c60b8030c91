# The service under Wine's service manager: it starts, repairs a spooler that
# was stopped behind its back, and stops on request, writing each step to
# the event log.
nb_deploy service
nb_fast_ini | nb_ini
trap nb_cleanup EXIT
nb_install
wt_run sc start Spooler
wt_wait_state Spooler RUNNING 10 || wt_fail "the Spooler did not start"
nb_start

# Broken behind Nimbrel's back: the next cycle, a second later, repairs it.
wt_run sc stop Spooler
nb_expect_event warning 'Recovery started: Automatic recovery: Print Spooler service is stopped' 10
nb_expect_event info 'Print Spooler recovery completed successfully.' 10
wt_wait_state Spooler RUNNING 5 || wt_fail "the Spooler is not running after the recovery"

wt_run sc stop Nimbrel
wt_expect_rc "sc stop Nimbrel" 0
nb_expect_event info 'Nimbrel service stopped.' 10
wt_wait_state Nimbrel STOPPED 10 || wt_fail "Nimbrel did not report stopped"

# One recovery only: the spooler was healthy again after it; nothing else.
wt_expect_eq "events" "Nimbrel service started.|Recovery started: Automatic recovery: Print Spooler service is stopped|\
Print Spooler recovery completed successfully.|Nimbrel service stopped.|" "$(nb_events | tr '\n' '|')"
