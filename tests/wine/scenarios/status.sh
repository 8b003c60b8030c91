# The status report against Wine's own Print Spooler, first stopped (as after
# boot), then running, with "Nimbrel.ini" beside the executable switching
# lines on and off and plugins that fail, hang, cannot be launched, are
# missing or carry non-ASCII names. The reports of one spooler state run side
# by side, each from its own folder. The Spooler is left stopped.

st_dir() { printf '%s/Nimbrel Tests/status-%s' "$(wt_cdrive)" "$1"; }
st_win() { printf 'C:\\Nimbrel Tests\\status-%s' "$1"; }

# st_deploy NAME: a folder of its own with Nimbrel.exe and no INI file.
st_deploy() {
    nb_deploy "status-$1"
}

# st_ini NAME: standard input as that folder's Nimbrel.ini, CRLF line ends.
st_ini() {
    sed 's/$/\r/' >"$(st_dir "$1")/Nimbrel.ini"
}

# st_start NAME [WORD]: run "Nimbrel.exe WORD" (default "status") in the background.
st_start() {
    local name=$1 word=${2:-status}
    (
        start=$(date +%s%N)
        timeout 60 "$WINE" "$(st_win "$name")\\Nimbrel.exe" "$word" \
            >"$WT_DIR/$name.out" 2>/dev/null </dev/null
        echo $? >"$WT_DIR/$name.rc"
        echo $((($(date +%s%N) - start) / 1000000)) >"$WT_DIR/$name.ms"
    ) &
}

# st_expect NAME RC: the report of NAME equals standard input, byte for byte, with exit code RC.
st_expect() {
    WT_OUT=$WT_DIR/$1.out WT_RC=$(cat "$WT_DIR/$1.rc")
    nb_expect_output "$1"
    wt_expect_rc "$1" "$2"
}

restore_spooler() {
    wt_run sc stop Spooler
    wt_wait_state Spooler STOPPED 10 || :
}
trap restore_spooler EXIT

wt_expect_eq "Spooler after boot" STOPPED "$(wt_state Spooler)"

# ---- Spooler stopped ---------------------------------------------------------
st_deploy stopped
st_deploy stopped-lean
printf '[HealthCheck]\nEnableQueueCheck=0\n[Schedule]\nEnableScheduledRestart=0\n' |
    st_ini stopped-lean
st_start stopped
st_start stopped-lean STATUS
wait
st_expect stopped 0 <<'OUT'
Print Spooler service: Stopped
Service state healthy: No
Print queue healthy:   Yes
Overall healthy:       No
Last issue:            Print Spooler service is stopped
Scheduled restart:     Every day at 02:00
Spool folder:          C:\windows\system32\spool\printers
OUT
st_expect stopped-lean 0 <<'OUT'
Print Spooler service: Stopped
Service state healthy: No
Overall healthy:       No
Last issue:            Print Spooler service is stopped
Spool folder:          C:\windows\system32\spool\printers
OUT

# ---- Spooler running -----------------------------------------------------------
wt_run sc start Spooler
wt_expect_rc "sc start Spooler" 0
wt_wait_state Spooler RUNNING 10 || wt_fail "the Spooler did not start"
# winedbg lists the Windows process ids, in hex: the report's PID must be
# spoolsv.exe's.
wt_run winedbg --command "info proc"
pid_hex=$(wt_out | sed -n "s/^[ =]*\([0-9a-f]*\) .*'spoolsv.exe'.*/\1/p" | head -1)
[ -n "$pid_hex" ] || wt_fail "no spoolsv.exe in winedbg's process list: $(wt_out)"
pid=$((16#$pid_hex))

st_deploy running

# A batch plugin that leaves a mark and exits with 3; a daily restart on two days.
st_deploy cmd3
printf '@echo ran>"%%~dp0ran.txt"\r\n@exit /b 3\r\n' >"$(st_dir cmd3)/check.cmd"
st_ini cmd3 <<INI
[HealthCheck]
EnablePluginCheck=1
PluginPath=$(st_win cmd3)\\check.cmd
[Schedule]
RestartDays=Mon,Fri
RestartTime=23:30
INI

# A program that sleeps far past its one-second time-out.
st_deploy hang
cp "$BUILD/wine/plugin_sleep.exe" "$(st_dir hang)/" || wt_fail "no plugin_sleep.exe"
st_ini hang <<INI
[HealthCheck]
EnablePluginCheck=1
PluginTimeoutMs=1000
PluginPath=$(st_win hang)\\plugin_sleep.exe
INI

# A folder where the plugin should be, and a time that is no time.
st_deploy folder
st_ini folder <<INI
[HealthCheck]
EnablePluginCheck=1
PluginPath=$(st_win folder)
[Schedule]
RestartTime= 7.5h
INI

# A plugin that is not there; no queue check.
st_deploy missing
st_ini missing <<INI
[HealthCheck]
EnableQueueCheck=0
EnablePluginCheck=1
PluginPath=$(st_win missing)\\gone.cmd
INI

# Non-ASCII text: Wine reads an INI without a byte-order mark as ANSI, so
# this one is UTF-16LE with its mark.
st_deploy unicode
printf '@exit /b 0\r\n' >"$(st_dir unicode)/café €.cmd"
printf '\xef\xbb\xbf[HealthCheck]\r\nEnablePluginCheck=1\r\nPluginPath=%s\\café €.cmd\r\n' \
    "$(st_win unicode)" | iconv -f UTF-8 -t UTF-16LE >"$(st_dir unicode)/Nimbrel.ini"

for name in running cmd3 hang folder missing unicode; do
    st_start "$name"
done
wait

st_expect running 0 <<OUT
Print Spooler service: Running (PID $pid)
Service state healthy: Yes
Print queue healthy:   Yes
Overall healthy:       Yes
Scheduled restart:     Every day at 02:00
Spool folder:          C:\windows\system32\spool\printers
OUT

# The plugin line shows its run; the overall verdict does not rerun a plugin
# launched less than PluginIntervalMs ago and counts it healthy.
st_expect cmd3 0 <<OUT
Print Spooler service: Running (PID $pid)
Service state healthy: Yes
Print queue healthy:   Yes
Plugin check enabled:  $(st_win cmd3)\\check.cmd
Plugin healthy:        No
Overall healthy:       Yes
Scheduled restart:     Mon,Fri at 23:30
Spool folder:          C:\windows\system32\spool\printers
OUT
if [ ! -f "$(st_dir cmd3)/ran.txt" ]; then
    # Once, on a machine loaded with other builds, Wine lost this run's mark
    # while the report was right. A second report alone tells a fault of ours
    # (no mark again) from that.
    echo "cmd3: no mark after the parallel run; running it again alone"
    st_start cmd3
    wait
    [ -f "$(st_dir cmd3)/ran.txt" ] || wt_fail "cmd3: the batch plugin did not run"
fi

st_expect hang 0 <<OUT
Print Spooler service: Running (PID $pid)
Service state healthy: Yes
Print queue healthy:   Yes
Plugin check enabled:  $(st_win hang)\\plugin_sleep.exe
Plugin healthy:        No
Overall healthy:       Yes
Scheduled restart:     Every day at 02:00
Spool folder:          C:\windows\system32\spool\printers
OUT
ms=$(cat "$WT_DIR/hang.ms")
[ "$ms" -ge 1000 ] && [ "$ms" -lt 10000 ] || wt_fail "hang: the report took ${ms} ms"
# Terminated, not left sleeping (a reaped-late zombie is no longer running).
# (The name is split so that awk's own command line does not match it.)
if ps -eo stat=,args= | awk '$1 !~ /^Z/ && index($0, "status-hang\\plugin" "_sleep.exe") { found = 1 }
                             END { exit !found }'; then
    wt_fail "hang: the plugin is still running"
fi

st_expect folder 0 <<OUT
Print Spooler service: Running (PID $pid)
Service state healthy: Yes
Print queue healthy:   Yes
Plugin check enabled:  $(st_win folder)
Plugin healthy:        No
Overall healthy:       Yes
Scheduled restart:     Every day at 7.5h
Spool folder:          C:\windows\system32\spool\printers
OUT

# No launch tick is recorded for a missing file, so the verdict looks again.
st_expect missing 0 <<OUT
Print Spooler service: Running (PID $pid)
Service state healthy: Yes
Plugin check enabled:  $(st_win missing)\\gone.cmd
Plugin healthy:        No
Overall healthy:       No
Last issue:            Plugin health check file not found
Scheduled restart:     Every day at 02:00
Spool folder:          C:\windows\system32\spool\printers
OUT

st_expect unicode 0 <<OUT
Print Spooler service: Running (PID $pid)
Service state healthy: Yes
Print queue healthy:   Yes
Plugin check enabled:  $(st_win unicode)\\café €.cmd
Plugin healthy:        Yes
Overall healthy:       Yes
Scheduled restart:     Every day at 02:00
Spool folder:          C:\windows\system32\spool\printers
OUT

restore_spooler
wt_expect_eq "Spooler at the end" STOPPED "$(wt_state Spooler)"
trap - EXIT
