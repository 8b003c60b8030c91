# The installed service against a Print Spooler that misbehaves: Wine's
# "Spooler" service is pointed at tests/wine/fake_spoolsv.c (deployed as
# spoolsv.exe), told by a file what to do. One case after another, each with
# a fresh start of Nimbrel:
#   paused-once    "status" and the recovery name the unexpected state; the
#                  recovery completes, and with MaxRestartsPerHour=1 the next
#                  unhealthy cycle (a plugin that fails) gets the rate-limit
#                  warning;
#   start-pending  found stuck after HangTimeoutMs, recovered: the stop is
#                  refused, and every spoolsv.exe is terminated;
#   stop-pending   the same, stuck stopping before the recovery begins;
#   ignore-stop    a running spooler (with a second spoolsv.exe beside it)
#                  that answers the stop request and never stops, recovered
#                  after the plugin fails: both processes are terminated.
#   slow stop      the same with a long StopTimeoutMs, and Nimbrel asked to
#                  stop while the recovery waits: `sc query` shows it
#                  stop-pending with a checkpoint that advances every few
#                  seconds until it has stopped.
#
# Windows and Wine part ways after a termination: Windows' service manager
# sees the service's process end and marks the service stopped, so the
# recovery goes on to start the spooler; Wine's never notices, the service
# stays pending, and the recovery would fail after its 10 s wait. So each
# case asserts what both share (the events up to the recovery's start, and
# the termination of every spoolsv.exe), then deletes the registration,
# which ends that wait at once, and registers the fake spooler afresh.
#
# Named zz_ to run last: it replaces the Spooler's registration, and puts
# Wine's own back (C:\windows\system32\spoolsv.exe, type 0x110, demand
# start) at the end.
nb_deploy misbehaving_spooler
fake_dir="Fake Spooler $(basename "$WT_DIR")" # unique among prefixes for pgrep
fake_unix="$(wt_cdrive)/$fake_dir"
fake_win="C:\\$fake_dir"
mkdir -p "$fake_unix" && cp "$BUILD/wine/fake_spoolsv.exe" "$fake_unix/spoolsv.exe" ||
    wt_fail "cannot deploy the fake spooler"
printf '@exit /b 1\r\n' >"$fake_unix/fail.cmd"

# The texts of the events written since the mark, one a line.
case_events() {
    nb_log | sed -n 's/^[0-9a-f]*:[a-z]*:eventlog:ReportEventW L"\(.*\)"$/\1/p'
}

# Processes of the fake spooler, in this prefix only (its folder is unique).
fake_processes() {
    pgrep -fc -- "$(printf '%s' "$fake_dir" | sed 's/[][\.*^$]/\\&/g')\\\\spoolsv\\.exe" || :
}
wait_no_fake_process() {
    local end=$((SECONDS + $1))
    until [ "$(fake_processes)" = 0 ]; do
        [ "$SECONDS" -ge "$end" ] && return 1
        sleep 0.1
    done
}

register_fake() {
    wt_run sc delete Spooler
    wt_run sc create Spooler binPath= "$fake_win\\spoolsv.exe" type= own start= demand
    wt_expect_rc "sc create Spooler (fake)" 0
}

stop_nimbrel() {
    wt_run sc stop Nimbrel
    wt_wait_state Nimbrel STOPPED 15 || wt_fail "Nimbrel did not stop"
}

ms_ini() { # $1: plugin on (1) or off (0), $2: StopTimeoutMs (1000)
    nb_ini <<INI
[Monitor]
CheckIntervalMs=1000
HangTimeoutMs=5000
MaxRestartsPerHour=1
[Recovery]
StopTimeoutMs=${2:-1000}
StartTimeoutMs=3000
RestartDelayMs=0
[HealthCheck]
EnableQueueCheck=0
EnablePluginCheck=$1
PluginPath=$fake_win\\fail.cmd
PluginIntervalMs=5000
[Schedule]
EnableScheduledRestart=0
INI
}

# Starts the fake spooler in MODE, then Nimbrel.
start_case() {
    printf '%s\r\n' "$1" >"$fake_unix/mode.txt"
    rm -f -- "$fake_unix/paused.done"
    register_fake
    wt_run sc start Spooler
    wt_expect_rc "sc start Spooler ($1)" 0
}
start_nimbrel() {
    nb_mark_log
    wt_run sc start Nimbrel
    wt_expect_rc "sc start Nimbrel" 0
    nb_wait_log "$(wt_event_re info 'Nimbrel service started.')" 10 ||
        wt_fail "no start message in the event log"
}

# The recovery of a stuck spooler: its start, then every spoolsv.exe ended.
expect_forced_recovery() { # $1: the reason, $2: seconds to wait for it
    nb_wait_log "$(wt_event_re warning "Recovery started: Automatic recovery: $1")" "$2" ||
        wt_fail "no automatic recovery for: $1; events: $(case_events)"
    wait_no_fake_process 10 || wt_fail "spoolsv.exe still running after the recovery's stop"
    # Up to here Windows and Wine agree; see the head of this file.
    wt_run sc delete Spooler
    stop_nimbrel
    case_events | sed -n '1,2p' | tr '\n' '|' |
        grep -qx "Nimbrel service started.|Recovery started: Automatic recovery: $1|" ||
        wt_fail "events before the termination: $(case_events | tr '\n' '|')"
}

ms_cleanup() {
    local rc=$?
    wt_run sc stop Nimbrel
    wt_wait_state Nimbrel STOPPED 15 2>/dev/null || :
    nb_run uninstall
    wt_run taskkill /f /im spoolsv.exe
    wt_run sc delete Spooler
    wt_run sc create Spooler binPath= 'C:\windows\system32\spoolsv.exe' type= own type= interact \
        start= demand displayname= 'Print Spooler' group= SpoolerGroup
    [ "$WT_RC" = 0 ] || rc=1
    wt_run sc description Spooler 'Loads files to memory for later printing'
    rm -rf -- "$fake_unix" "$NB_DIR"
    exit $rc
}
trap ms_cleanup EXIT

nb_run install
wt_expect_rc "install" 0

# ---- Paused: the unexpected state, a recovery, then the hourly limit.
ms_ini 0
start_case paused-once
wt_wait_state Spooler PAUSED 10 || wt_fail "the fake spooler did not pause"
nb_run status
wt_expect_rc "status" 0
wt_out | sed '1s/ (PID [0-9]*)$//' | nb_expect_text "status of a paused spooler" <<'EOF'
Print Spooler service: Paused
Service state healthy: No
Overall healthy:       No
Last issue:            Print Spooler in unexpected service state
Spool folder:          C:\windows\system32\spool\printers
EOF
ms_ini 1
start_nimbrel
nb_wait_log "$(wt_event_re warning 'Print Spooler unhealthy but recovery rate limit reached. Waiting.')" 15 ||
    wt_fail "no rate-limit warning; events: $(case_events | tr '\n' '|')"
stop_nimbrel
case_events | sed -n '1,4p' | tr '\n' '|' | grep -qx "Nimbrel service started.|\
Recovery started: Automatic recovery: Print Spooler in unexpected service state|\
Print Spooler recovery completed successfully.|\
Print Spooler unhealthy but recovery rate limit reached. Waiting.|" ||
    wt_fail "events of the paused case: $(case_events | tr '\n' '|')"
wt_run sc stop Spooler
wt_wait_state Spooler STOPPED 10 || wt_fail "the fake spooler did not stop"

# ---- Stuck start-pending: found stuck after HangTimeoutMs (5 s).
ms_ini 0
start_case start-pending
start_nimbrel
expect_forced_recovery "Print Spooler stuck in Starting/Stopping state" 15

# ---- Stuck stop-pending before the recovery begins.
start_case stop-pending
wt_wait_state Spooler STOP_PENDING 10 || wt_fail "the fake spooler is not stop-pending"
start_nimbrel
expect_forced_recovery "Print Spooler stuck in Starting/Stopping state" 15

# ---- Running, ignoring the stop request, two processes.
ms_ini 1
start_case ignore-stop
wt_wait_state Spooler RUNNING 10 || wt_fail "the fake spooler did not run"
for _ in $(seq 50); do [ "$(fake_processes)" = 2 ] && break; sleep 0.1; done
wt_expect_eq "spoolsv.exe processes before the recovery" 2 "$(fake_processes)"
start_nimbrel
expect_forced_recovery "Plugin health check failed (exit code 1)" 15

# ---- Stopped during a slow recovery: the stop waits for the recovery, and
# shows its progress all the while.
ms_ini 1 12000
start_case ignore-stop
wt_wait_state Spooler RUNNING 10 || wt_fail "the fake spooler did not run"
start_nimbrel
nb_wait_log "$(wt_event_re warning 'Recovery started: Automatic recovery: Plugin health check failed (exit code 1)')" 15 ||
    wt_fail "no recovery to stop during; events: $(case_events | tr '\n' '|')"
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
# Each checkpoint advances on the last, and none is seen for longer than its
# hint (5 s, some ten samples); the recovery's 12 s wait shows several.
printf '%s\n' $samples | awk -F/ '
    { cp = $1 + 0; hint = $2 + 0 }
    hint != 5000 { print "hint " $2; bad = 1 }
    NR > 1 && cp < last { print "checkpoint went back: " $1; bad = 1 }
    cp == last { if (++same > 10) { print "checkpoint " $1 " held too long"; bad = 1 } }
    cp != last { same = 0; distinct++ }
    { last = cp }
    END { if (distinct < 4) { print distinct " checkpoints only"; bad = 1 }; exit bad }' ||
    wt_fail "stop progress: $samples"
:
