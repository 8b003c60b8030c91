# A batch plugin whose work runs in children, as a script engine's does: one
# started with "start /b", one in the foreground, both sleeping far past the
# plugin's two-second time-out. "status" runs it once; when the time-out ends
# the plugin, its job ends both children with it: nothing of it is left.
nb_deploy "plugin_job $(basename "$WT_DIR")" # unique among prefixes for ps
cleanup() {
    rm -rf -- "$NB_DIR"
}
trap cleanup EXIT
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

# The plugin's sleepers that are running (a reaped-late zombie is not); the
# name is split so that awk's own command line does not match it.
sleepers() {
    ps -eo stat=,args= | awk -v dir="$(basename "$NB_DIR")" \
        '$1 !~ /^Z/ && index($0, dir "\\plugin" "_sleep.exe") { n++ } END { print n + 0 }'
}

timeout 60 "$WINE" "$NB_EXE" status >"$WT_OUT" 2>/dev/null </dev/null &
status_pid=$!
most=0
while kill -0 "$status_pid" 2>/dev/null; do
    n=$(sleepers)
    [ "$n" -gt "$most" ] && most=$n
    sleep 0.2
done
wait "$status_pid"
wt_expect_eq "children of the plugin seen running" 2 "$most"
wt_out | grep -qx 'Plugin healthy:        No' || wt_fail "the plugin did not time out: $(wt_out)"

end=$((SECONDS + 5))
until [ "$(sleepers)" = 0 ]; do
    [ "$SECONDS" -lt "$end" ] || wt_fail "$(sleepers) children of the plugin outlived it"
    sleep 0.2
done
