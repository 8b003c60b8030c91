# A batch plugin with two children ("start /b" and foreground) sleeping past
# its time-out: ending the plugin ends both.
nb_deploy "plugin_job $(basename "$WT_DIR")" # unique among prefixes
trap 'rm -rf -- "$NB_DIR"' EXIT
cp "$BUILD/wine/plugin_sleep.exe" "$NB_DIR/" || wt_fail "no plugin_sleep.exe"
printf '@start "" /b "%s\\plugin_sleep.exe"\r\n@"%s\\plugin_sleep.exe"\r\n' \
    "$NB_WINDIR" "$NB_WINDIR" >"$NB_DIR/check.cmd"
nb_ini <<INI
[HealthCheck]
EnableQueueCheck=0
EnablePluginCheck=1
PluginTimeoutMs=2000
PluginPath=$NB_WINDIR\\check.cmd
INI
sleeper="$(basename "$NB_DIR")\\plugin_sleep.exe"

wt_bg status "$NB_EXE" status
most=0
while [ ! -e "$WT_DIR/status.ms" ]; do
    n=$(wt_procs "$sleeper")
    [ "$n" -gt "$most" ] && most=$n
    sleep 0.2
done
wait
wt_bg_result status
wt_expect_eq "children of the plugin seen running" 2 "$most"
wt_out | grep -qx 'Plugin healthy:        No' || wt_fail "the plugin did not time out: $(wt_out)"
wt_expect_procs "children of the plugin that outlived it" "$sleeper" 0 5
