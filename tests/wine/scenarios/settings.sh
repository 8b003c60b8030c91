# The settings as the real profile functions read them from "Nimbrel.ini".
nb_deploy settings
cp "$BUILD/wine/settings_probe.exe" "$NB_DIR/Nimbrel.exe"

# No file: every default.
nb_run
wt_expect_rc "defaults" 0
nb_expect_output "defaults" <"$WT_HERE/default_settings.txt"

# Bounds, switches, blanks, quotes, empty values and over-long texts.
long=$(printf 'D:\\%0300d' 0)
nb_ini <<INI
; Nimbrel test settings
[Monitor]
CheckIntervalMs=500
HangTimeoutMs = 4999
MaxRestartsPerHour=0
ClearSpoolOnRecovery=0
SpoolDirectory=$long

[Recovery]
StopTimeoutMs=0
StartTimeoutMs=0x10
RestartDelayMs=4294967295

[healthcheck]
enablequeuecheck=5
StuckJobTimeoutMs=12abc
MaxQueueJobs=7
EnablePluginCheck=1
PluginIntervalMs=1
PluginTimeoutMs=-1
PrinterName="  Front   Desk	 "
PluginPath=  C:\Tools\check.cmd

[Schedule]
EnableScheduledRestart=0
ClearSpoolOnScheduledRestart=2
RestartTime=
RestartDays=' Mon, Fri '
INI
nb_run
wt_expect_rc "settings file" 0
nb_expect_output "settings file" <<OUT
CheckIntervalMs=1000
HangTimeoutMs=5000
MaxRestartsPerHour=1
ClearSpoolOnRecovery=0
SpoolDirectory=${long:0:259}
StopTimeoutMs=0
StartTimeoutMs=16
RestartDelayMs=4294967295
EnableQueueCheck=1
StuckJobTimeoutMs=10000
MaxQueueJobs=7
EnablePluginCheck=1
PluginIntervalMs=5000
PluginTimeoutMs=4294967295
PrinterName=[Front   Desk]
PluginPath=[C:\Tools\check.cmd]
EnableScheduledRestart=0
ClearSpoolOnScheduledRestart=1
RestartTime=[02:00]
RestartDays=[Mon, Fri]
OUT

# A UTF-16 file with a byte-order mark carries any character.
printf '\xff\xfe' >"$NB_DIR/Nimbrel.ini"
printf '[HealthCheck]\r\nPrinterName=Caf\xc3\xa9 \xe2\x82\xac Laser\r\n' | iconv -f UTF-8 -t UTF-16LE >>"$NB_DIR/Nimbrel.ini"
nb_run
wt_out | grep -qx 'PrinterName=\[Café € Laser\]' || wt_fail "non-ASCII printer name: $(wt_out | grep PrinterName)"
