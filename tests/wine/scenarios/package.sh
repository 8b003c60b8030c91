# The release ZIP unpacked under Program Files: its sample settings read by
# the real profile functions, "status" run from it, its sample plugin run.
nb_package 'Nimbrel-*.zip'
zip=$NB_FILE
top=$(basename "$zip" .zip)

files=$(nb_zip_files "$zip")
wt_expect_eq "files in the ZIP" "$top/LICENSE.txt
$top/Nimbrel.exe
$top/Nimbrel.ini.sample
$top/README.md
$top/plugins/check-printer-queue.cmd
$top/policy/Nimbrel.admx
$top/policy/en-US/Nimbrel.adml" "$files"

programs="$(wt_cdrive)/Program Files"
dir="$programs/$top"
windir="C:\\Program Files\\$top"
trap 'rm -rf -- "$dir"' EXIT
python3 -m zipfile -e "$zip" "$programs/" || wt_fail "cannot unpack $zip"

# CR LF throughout; plain ASCII where the profile functions and cmd.exe read it.
for f in Nimbrel.ini.sample plugins/check-printer-queue.cmd README.md LICENSE.txt \
    policy/Nimbrel.admx policy/en-US/Nimbrel.adml; do
    [ -s "$dir/$f" ] || wt_fail "$f is missing or empty"
    bare=$(tr -d '\r' <"$dir/$f" | wc -l)
    crlf=$(grep -c $'\r$' "$dir/$f")
    wt_expect_eq "$f: lines ending in CR LF" "$bare" "$crlf"
done
for f in Nimbrel.ini.sample plugins/check-printer-queue.cmd; do
    ! LC_ALL=C grep -q '[^[:print:][:space:]]' "$dir/$f" || wt_fail "$f is not plain ASCII"
done

# The sample, copied as Nimbrel.ini, gives every default.
cp -- "$dir/Nimbrel.ini.sample" "$dir/Nimbrel.ini"
cp -- "$BUILD/wine/settings_probe.exe" "$dir/settings_probe.exe"
wt_run "$windir\\settings_probe.exe"
rm -f -- "$dir/settings_probe.exe"
wt_expect_rc "settings from the sample" 0
nb_expect_output "settings from the sample" <"$WT_HERE/default_settings.txt"

# "status" from the unpacked folder, against Wine's stopped spooler.
[ "$(wt_state Spooler)" = STOPPED ] || wt_fail "the Spooler is not stopped at the start"
wt_run "$windir\\Nimbrel.exe" status
wt_expect_rc "status" 0
nb_expect_output "status" <"$WT_HERE/stopped_status.txt"

# The sample plugin, by hand and through Nimbrel: Wine's powershell.exe runs
# nothing, which the plugin must call UNKNOWN (3), never OK.
plugin="$windir\\plugins\\check-printer-queue.cmd"
wt_run cmd /c "$plugin"
wt_expect_rc "plugin run by hand" 3
wt_out | grep -q '^UNKNOWN - ' || wt_fail "plugin run by hand printed [$(wt_out)]"

sed -e 's/^EnablePluginCheck=0/EnablePluginCheck=1/' \
    -e "s/^PluginPath=.*/PluginPath=${plugin//\\/\\\\}\r/" \
    "$dir/Nimbrel.ini.sample" >"$dir/Nimbrel.ini"
wt_run "$windir\\Nimbrel.exe" status
wt_expect_rc "status with the plugin" 0
wt_out | grep -qxF "Plugin check enabled:  $plugin" || wt_fail "status with the plugin: $(wt_out)"
wt_out | grep -qx 'Plugin healthy:        No' || wt_fail "status with the plugin: $(wt_out)"
