# The service starts, repairs a spooler stopped behind its back and stops, each
# step in the event log; its metrics file passes promtool and shows the repair.
command -v promtool >/dev/null || wt_fail "promtool is missing (Debian package prometheus)"
nb_deploy service
nb_fast_ini "Monitor.MetricsFile=$NB_WINDIR\\nimbrel.prom" | nb_ini
prom=$NB_DIR/nimbrel.prom
trap nb_cleanup EXIT
nb_install
nb_spooler start
nb_start

# metric LINE: wait until the file holds the line.
metric() {
    local line=$1
    wt_until 10 'grep -qxF -- "$line" "$prom" 2>/dev/null' ||
        wt_fail "no '$1' in the metrics file: $(cat "$prom" 2>&1)"
}
metric 'nimbrel_spooler_healthy 1'

# Broken behind Nimbrel's back: the next cycle repairs it.
wt_run sc stop Spooler
nb_expect_event warning 'Recovery started: Automatic recovery: Print Spooler service is stopped' 10
nb_expect_event info 'Print Spooler recovery completed successfully.' 10
wt_wait_state Spooler RUNNING 5 || wt_fail "the Spooler is not running after the recovery"
metric 'nimbrel_recoveries_total{trigger="automatic",outcome="completed"} 1'
metric 'nimbrel_spooler_healthy 1'

wt_run sc stop Nimbrel
wt_expect_rc "sc stop Nimbrel" 0
nb_expect_event info 'Nimbrel service stopped.' 10
wt_wait_state Nimbrel STOPPED 10 || wt_fail "Nimbrel did not report stopped"

# One recovery only, and nothing else.
wt_expect_eq "events" "Nimbrel service started.|Recovery started: Automatic recovery: Print Spooler service is stopped|\
Print Spooler recovery completed successfully.|Nimbrel service stopped.|" "$(nb_events | tr '\n' '|')"

promtool check metrics <"$prom" || wt_fail "promtool: $(cat "$prom")"
for line in 'nimbrel_spooler_state 4' 'nimbrel_check_healthy{check="service_state"} 1' \
    'nimbrel_recoveries_total{trigger="automatic",outcome="failed"} 0' \
    'nimbrel_recoveries_refused_total 0' 'nimbrel_build_info{version="1.1.0"} 1'; do
    grep -qxF -- "$line" "$prom" || wt_fail "no '$line' in: $(cat "$prom")"
done
grep -q 'print_queue\|plugin' "$prom" && wt_fail "a check that is off is in the file"
cycles=$(sed -n 's/^nimbrel_cycles_total //p' "$prom")
[ "${cycles:-0}" -ge 3 ] || wt_fail "cycles: ${cycles:-none}"
stamp=$(sed -n 's/^nimbrel_last_recovery_timestamp_seconds //p' "$prom")
now=$(date +%s)
[ "$stamp" -gt $((now - 120)) ] && [ "$stamp" -le "$now" ] || wt_fail "recovery time $stamp, now $now"
# Only the file itself: the temporary one was moved into its place.
wt_expect_eq "files beside it" "Nimbrel.exe Nimbrel.ini nimbrel.prom" "$(cd "$NB_DIR" && echo *)"
