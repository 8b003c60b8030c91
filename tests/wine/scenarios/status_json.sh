# "status /json", Spooler stopped and running, read by Python's json module:
# members, verdicts, ASCII-only output, texts with quotes, backslashes and
# non-ASCII characters (from a UTF-16 file), a UTF-8 mark, policy values.
policy='HKLM\SOFTWARE\Policies\Nimbrel'
nb_undo() { wt_run reg delete "$policy" /f; }
trap nb_cleanup EXIT

# sj_check WHAT WORD SWITCH PYTHON: "Nimbrel.exe WORD SWITCH" succeeds with one
# ASCII line of JSON, bound to `d`, for which the Python holds.
sj_check() {
    nb_run "$2" "$3"
    wt_expect_rc "$1" 0
    python3 - "$WT_OUT" "$4" <<'PY' || wt_fail "$1: $(cat "$WT_OUT")"
import json, sys
raw = open(sys.argv[1], 'rb').read()
assert raw.endswith(b'\n') and raw.count(b'\n') == 1, 'one line'
assert all(b < 0x7f for b in raw), 'ASCII only'
d = json.loads(raw)
exec(sys.argv[2])
PY
}

wt_expect_eq "Spooler after boot" STOPPED "$(wt_state Spooler)"

nb_deploy json-odd
printf '%s\r\n' '[HealthCheck]' 'EnablePluginCheck=1' \
    'PluginPath=C:\Nimbrel Tests\json-odd\Prüf €\gone.cmd' \
    'PrinterName= Büro "A"\B 🖨 ' '[Schedule]' 'RestartDays=Mon,"Fri"\x' |
    iconv -f UTF-8 -t UTF-16 >"$NB_DIR/Nimbrel.ini"
common='
s = d["settings"]
assert s["PrinterName"] == {"value": "Büro \"A\"\\B \U0001F5A8", "source": "file"}, s["PrinterName"]
assert s["PluginPath"]["value"] == "C:\\Nimbrel Tests\\json-odd\\Prüf €\\gone.cmd"
assert s["CheckIntervalMs"] == {"value": 10000, "source": "default"}
assert s["EnablePluginCheck"] == {"value": 1, "source": "file"}
assert d["schedule"] == {"days": "Mon,\"Fri\"\\x", "time": "02:00"}, d["schedule"]
assert d["version"] == "1.1.0"
assert d["spoolDirectory"].lower() == "c:\\windows\\system32\\spool\\printers"
assert d["checks"]["printQueue"] is True
'
sj_check "json, stopped" status /json "$common"'
assert d["healthy"] is False
assert d["spooler"] == {"state": "Stopped", "processId": 0, "startType": d["spooler"]["startType"]}
assert d["checks"]["serviceState"] is False and d["checks"]["plugin"] is False
assert d["lastIssue"] == "Print Spooler service is stopped"
'

nb_spooler start

sj_check "json, running" STATUS -JSON "$common"'
assert d["healthy"] is False
assert d["spooler"]["state"] == "Running" and d["spooler"]["processId"] > 0
assert d["checks"] == {"serviceState": True, "printQueue": True, "plugin": False}
assert d["lastIssue"] == "Plugin health check file not found"
'

nb_deploy json-lean
printf '[HealthCheck]\nEnableQueueCheck=0\n[Schedule]\nEnableScheduledRestart=0\n' | nb_ini
sj_check "json, lean" status --json '
assert d["healthy"] is True and d["lastIssue"] is None and d["schedule"] is None
assert d["checks"] == {"serviceState": True, "printQueue": None, "plugin": None}
assert d["settings"]["EnableQueueCheck"] == {"value": 0, "source": "file"}
assert sorted(d) == sorted(["healthy", "spooler", "checks", "lastIssue", "schedule",
                            "spoolDirectory", "version", "settings"])
'

# A UTF-8 mark (PowerShell 5.1's -Encoding UTF8), which Wine takes and Windows
# does not: the first section counts either way, and the report has a note.
nb_deploy json-bom
printf '\xef\xbb\xbf[Monitor]\r\nClearSpoolOnRecovery=0\r\n[Schedule]\r\nRestartTime=04:00\r\n' \
    >"$NB_DIR/Nimbrel.ini"
sj_check "json, UTF-8 mark" status /json '
assert d["settings"]["ClearSpoolOnRecovery"] == {"value": 0, "source": "file"}
assert d["schedule"]["time"] == "04:00"
'
nb_run status
wt_out | tail -1 | grep -q '^Note: Nimbrel.ini begins with a UTF-8 byte-order mark' ||
    wt_fail "UTF-8 mark: no note at the end of the report: $(wt_out)"

# Policy values override the file; one of the wrong type is passed over.
for value in 'Monitor CheckIntervalMs REG_DWORD 7000' 'HealthCheck EnableQueueCheck REG_DWORD 0' \
    'HealthCheck PrinterName REG_SZ Lab 2' 'Monitor MaxRestartsPerHour REG_SZ 9'; do
    set -- $value
    wt_run reg add "$policy\\$1" /v "$2" /t "$3" /d "${*:4}" /f
    wt_expect_rc "reg add $2" 0
done
sj_check "json, policies" status /json '
s = d["settings"]
assert s["CheckIntervalMs"] == {"value": 7000, "source": "policy"}, s["CheckIntervalMs"]
assert s["EnableQueueCheck"] == {"value": 0, "source": "policy"}
assert s["PrinterName"] == {"value": "Lab 2", "source": "policy"}, s["PrinterName"]
assert s["MaxRestartsPerHour"] == {"value": 3, "source": "default"}
assert s["ClearSpoolOnRecovery"] == {"value": 0, "source": "file"}
assert d["checks"]["printQueue"] is None
'
