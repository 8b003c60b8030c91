# The metrics file under Wine's service manager: the service recovers a
# spooler stopped behind its back, once, and the file it keeps replacing
# passes promtool's check and shows that one completed automatic recovery
# and a healthy spooler again.
nb_deploy metrics
nb_ini <<EOF_INI
[Monitor]
CheckIntervalMs=1000
MetricsFile=$NB_WINDIR\\nimbrel.prom
[Recovery]
RestartDelayMs=0
[HealthCheck]
EnableQueueCheck=0
[Schedule]
EnableScheduledRestart=0
EOF_INI
prom=$NB_DIR/nimbrel.prom
command -v promtool >/dev/null || wt_fail "promtool is missing (Debian package prometheus)"

nb_mark_log
metrics_cleanup() {
    local rc=$?
    wt_run sc stop Nimbrel
    wt_wait_state Nimbrel STOPPED 10 2>/dev/null || :
    nb_run uninstall
    wt_run sc stop Spooler
    wt_wait_state Spooler STOPPED 10 2>/dev/null || :
    rm -rf -- "$NB_DIR"
    return $rc
}
trap metrics_cleanup EXIT

nb_run install
wt_run sc start Spooler
wt_wait_state Spooler RUNNING 10 || wt_fail "the Spooler did not start"
wt_run sc start Nimbrel
wt_wait_state Nimbrel RUNNING 10 || wt_fail "Nimbrel did not report running"

# metric LINE SECONDS: wait until the file holds the line.
metric() {
    local end=$((SECONDS + $2))
    until grep -qxF -- "$1" "$prom" 2>/dev/null; do
        [ "$SECONDS" -ge "$end" ] && wt_fail "no '$1' in the metrics file: $(cat "$prom" 2>&1)"
        sleep 0.2
    done
}
metric 'nimbrel_spooler_healthy 1' 10

wt_run sc stop Spooler
nb_wait_log "$(wt_event_re info 'Print Spooler recovery completed successfully.')" 15 ||
    wt_fail "the automatic recovery did not complete"
metric 'nimbrel_recoveries_total{trigger="automatic",outcome="completed"} 1' 10
metric 'nimbrel_spooler_healthy 1' 10

wt_run sc stop Nimbrel
wt_wait_state Nimbrel STOPPED 10 || wt_fail "Nimbrel did not report stopped"

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
:
