# Nimbrel against fake_spoolsv.exe as the "Spooler", in each mode of its mode.ini.
# Wine never notices a terminated spooler, so after what Windows and Wine share
# each case deletes the registration to end the recovery's wait. Runs last.
nb_deploy misbehaving_spooler
fake_dir="Fake Spooler $(basename "$WT_DIR")" # unique among prefixes
fake_unix="$(wt_cdrive)/$fake_dir"
fake_win="C:\\$fake_dir"
mkdir -p "$fake_unix" && cp "$BUILD/wine/fake_spoolsv.exe" "$fake_unix/spoolsv.exe" ||
    wt_fail "cannot deploy the fake spooler"
printf '@exit /b 1\r\n' >"$fake_unix/fail.cmd"
nb_undo() {
    wt_run taskkill /f /im spoolsv.exe
    nb_restore_spooler
}
NB_TRASH=("$fake_unix")
trap nb_cleanup EXIT

fake="$fake_dir\\spoolsv.exe"
recovery_for() { printf 'Recovery started: Automatic recovery: %s' "$1"; }
expect_events() { # WHAT EVENT...: the first events since the mark
    wt_expect_eq "$1: events" "$(printf '%s|' "${@:2}")" "$(nb_events | sed -n "1,$(($# - 1))p" | tr '\n' '|')"
}

ms_ini() { # $1: plugin on (1) or off (0), $2: StopTimeoutMs (1000)
    nb_fast_ini Monitor.HangTimeoutMs=5000 Monitor.MaxRestartsPerHour=1 \
        "Recovery.StopTimeoutMs=${2:-1000}" Recovery.StartTimeoutMs=3000 \
        "HealthCheck.EnablePluginCheck=$1" "HealthCheck.PluginPath=$fake_win\\fail.cmd" \
        HealthCheck.PluginIntervalMs=5000 | nb_ini
}

# start_case MODE [STATE]: the fake spooler registered afresh, started in MODE, in STATE.
start_case() {
    printf '[fake]\r\nmode=%s\r\n' "$1" >"$fake_unix/mode.ini"
    rm -f -- "$fake_unix/paused.done"
    wt_run sc delete Spooler
    wt_run sc create Spooler binPath= "$fake_win\\spoolsv.exe" type= own start= demand
    wt_expect_rc "sc create Spooler (fake)" 0
    wt_run sc start Spooler
    wt_expect_rc "sc start Spooler ($1)" 0
    [ -z "${2:-}" ] || wt_wait_state Spooler "$2" 10 || wt_fail "the fake spooler is not $2 ($1)"
}

# The recovery of a stuck spooler: its start, then every spoolsv.exe ended.
expect_forced_recovery() { # $1: the reason
    nb_expect_event warning "$(recovery_for "$1")" 15
    wt_expect_procs "spoolsv.exe after the recovery's stop" "$fake" 0 10
    wt_run sc delete Spooler
    nb_stop
    expect_events "$1" 'Nimbrel service started.' "$(recovery_for "$1")"
}

nb_install

# ---- Paused: the unexpected state, a recovery, then the hourly limit.
ms_ini 0
start_case paused-once PAUSED
nb_run status
wt_expect_rc "status" 0
sed -i '1s/ (PID [0-9]*)$//' "$WT_OUT"
nb_expect_output "status of a paused spooler" <<'EOF'
Print Spooler service: Paused
Service state healthy: No
Overall healthy:       No
Last issue:            Print Spooler in unexpected service state
Spool folder:          C:\windows\system32\spool\printers
EOF
ms_ini 1
nb_start
nb_expect_event warning 'Print Spooler unhealthy but recovery rate limit reached. Waiting.' 15
nb_stop
expect_events "paused" 'Nimbrel service started.' \
    "$(recovery_for 'Print Spooler in unexpected service state')" \
    'Print Spooler recovery completed successfully.' \
    'Print Spooler unhealthy but recovery rate limit reached. Waiting.'
nb_spooler stop

# ---- Stuck start-pending, then stop-pending: found stuck after HangTimeoutMs (5 s).
ms_ini 0
start_case start-pending
nb_start
expect_forced_recovery "Print Spooler stuck in Starting/Stopping state"

start_case stop-pending STOP_PENDING
nb_start
expect_forced_recovery "Print Spooler stuck in Starting/Stopping state"

# ---- Running, ignoring the stop request, two processes.
ms_ini 1
start_case ignore-stop RUNNING
wt_expect_procs "spoolsv.exe before the recovery" "$fake" 2 5
nb_start
expect_forced_recovery "Plugin health check failed (exit code 1)"

# ---- Stopped during a slow recovery: the stop waits, showing progress.
ms_ini 1 12000
start_case ignore-stop RUNNING
nb_start
nb_expect_event warning "$(recovery_for 'Plugin health check failed (exit code 1)')" 15
wt_run sc stop Nimbrel
wt_expect_rc "sc stop Nimbrel during a recovery" 0
samples= end=$((SECONDS + 40))
while [ "$(wt_state Nimbrel)" = STOP_PENDING ]; do
    [ "$SECONDS" -lt "$end" ] || wt_fail "still stop-pending after 40 s: $samples"
    cp=$(wt_out | sed -n 's/^ *CHECKPOINT *: *\(0x[0-9a-fA-F]*\).*/\1/p')
    hint=$(wt_out | sed -n 's/^ *WAIT_HINT *: *\(0x[0-9a-fA-F]*\).*/\1/p')
    samples="$samples $((${cp:-0}))/$((${hint:-0}))"
    sleep 0.5
done
wt_wait_state Nimbrel STOPPED 5 || wt_fail "Nimbrel did not stop after stop-pending: $samples"
printf 'checkpoint/hint seen while stopping:%s\n' "$samples"
# Checkpoints advance, none held past its 5 s hint (ten samples); 12 s shows several.
printf '%s\n' $samples | awk -F/ '
    { cp = $1 + 0; hint = $2 + 0 }
    hint != 5000 { print "hint " $2; bad = 1 }
    NR > 1 && cp < last { print "checkpoint went back: " $1; bad = 1 }
    cp == last { if (++same > 10) { print "checkpoint " $1 " held too long"; bad = 1 } }
    cp != last { same = 0; distinct++ }
    { last = cp }
    END { if (distinct < 4) { print distinct " checkpoints only"; bad = 1 }; exit bad }' ||
    wt_fail "stop progress: $samples"
