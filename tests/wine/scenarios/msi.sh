# The Windows Installer package as a deployment tool runs it, silently: an
# older version first, over a registration made by hand from the ZIP and with
# the administrator's Nimbrel.ini already in the folder; the upgrade to this version; a downgrade refused; the removal.
# Throughout, the settings file stays untouched and the service is registered
# as "install" registers it.
msis=("$BUILD"/Nimbrel-*-x64.msi)
[ -f "${msis[0]}" ] || wt_fail "no MSI in $BUILD (cmake --build --preset mingw --target package)"
[ ${#msis[@]} = 1 ] || wt_fail "more than one MSI in $BUILD: ${msis[*]}"
msi=${msis[0]}
echo "$(basename "$msi"): $(stat -c %s "$msi") bytes"

dir="$(wt_cdrive)/Program Files/Nimbrel"
exe='C:\Program Files\Nimbrel\Nimbrel.exe'
key='HKLM\System\CurrentControlSet\Services\Nimbrel'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

# product_code MSI: print the package's product code.
product_code() {
    msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'
}

# The same package at an older version, from the same source and files.
old=$WT_DIR/msi-old
rm -rf -- "$old"
mkdir -p -- "$old"
cp -- "$BUILD/msi/Nimbrel.wxs" "$BUILD/msi/nimbrel.ico" "$old/" || wt_fail "no package source in $BUILD/msi"
msiextract -C "$old" "$msi" >/dev/null || wt_fail "cannot unpack $msi"
wixl --arch x64 -o "$old/old.msi" -D Version=1.0.0 -D SourceDir=Nimbrel -D Icon=nimbrel.ico \
    "$old/Nimbrel.wxs" 2>"$old/wixl.log" || wt_fail "wixl: $(cat "$old/wixl.log")"
old_msi=$(wt_winpath "$old/old.msi")
new_msi=$(wt_winpath "$msi")
old_code=$(product_code "$old/old.msi")
new_code=$(product_code "$msi")
[ -n "$old_code" ] && [ "$old_code" != "$new_code" ] || wt_fail "product codes [$old_code] [$new_code]"

nb_mark_log
cleanup() {
    local rc=$?
    wt_run msiexec /x "$new_msi" /qn
    wt_run msiexec /x "$old_msi" /qn
    wt_run sc stop Spooler
    wt_wait_state Spooler STOPPED 10 2>/dev/null || :
    nb_run uninstall
    rm -rf -- "$dir" "$old" "$NB_DIR"
    return $rc
}
trap cleanup EXIT

# The administrator's settings, deployed before the package: a second's
# check interval, so the installed service is seen at work at once.
mkdir -p -- "$dir"
printf '[Monitor]\r\nCheckIntervalMs=1000\r\n[Recovery]\r\nRestartDelayMs=0\r\n[HealthCheck]\r\nEnableQueueCheck=0\r\n[Schedule]\r\nEnableScheduledRestart=0\r\n' \
    >"$dir/Nimbrel.ini"
cp -- "$dir/Nimbrel.ini" "$old/Nimbrel.ini"
expect_ini_kept() {
    cmp -s "$old/Nimbrel.ini" "$dir/Nimbrel.ini" || wt_fail "$1: Nimbrel.ini was changed or removed"
}

# reg_value NAME: print "TYPE VALUE" of one value, as the last query showed it.
reg_value() {
    wt_out | sed -n "s/^ *$1 \{4\}\(REG_[A-Z_]*\) \{4\}\(.*\)\$/\1 \2/p"
}

# expect_service WHAT: the registration "install" makes, and the service running.
expect_service() {
    wt_run reg query "$key"
    wt_expect_rc "$1: reg query" 0
    wt_expect_eq "$1: ImagePath" "REG_SZ \"$exe\"" "$(reg_value ImagePath)"
    wt_expect_eq "$1: Type" "REG_DWORD 0x10" "$(reg_value Type)"
    wt_expect_eq "$1: Start" "REG_DWORD 0x2" "$(reg_value Start)"
    wt_expect_eq "$1: ErrorControl" "REG_DWORD 0x1" "$(reg_value ErrorControl)"
    wt_expect_eq "$1: ObjectName" "REG_SZ LocalSystem" "$(reg_value ObjectName)"
    wt_expect_eq "$1: DisplayName" "REG_SZ Nimbrel" "$(reg_value DisplayName)"
    wt_expect_eq "$1: Description" \
        "REG_SZ Monitors and automatically repairs the Windows Print Spooler service." \
        "$(reg_value Description)"
    wt_wait_state Nimbrel RUNNING 10 || wt_fail "$1: the service is not running"
}

# expect_product WHAT CODE VERSION: CODE is registered with VERSION, the other code not at all.
expect_product() {
    local other=$old_code
    [ "$2" = "$old_code" ] && other=$new_code
    wt_run reg query "$uninstall_key\\$2"
    wt_expect_rc "$1: product $2 registered" 0
    wt_expect_eq "$1: DisplayVersion" "REG_SZ $3" "$(reg_value DisplayVersion)"
    wt_run reg query "$uninstall_key\\$other"
    [ "$WT_RC" != 0 ] || wt_fail "$1: product $other is still registered"
}

[ "$(wt_state Spooler)" = STOPPED ] || wt_fail "the Spooler is not stopped at the start"
# A registration by hand from an unpacked ZIP, which the package takes over.
nb_deploy msi
nb_run install
wt_expect_rc "install from the ZIP's folder" 0
t=$SECONDS
wt_run msiexec /i "$old_msi" /qn
wt_expect_rc "install 1.0.0" 0
echo "install: $((SECONDS - t))s"
expect_service "install 1.0.0"
expect_product "install 1.0.0" "$old_code" 1.0.0
expect_ini_kept "install 1.0.0"
# The service runs with the administrator's settings: it repairs the
# stopped Spooler within a second or two.
nb_wait_log "$(wt_event_re info 'Print Spooler recovery completed successfully.')" 15 ||
    wt_fail "the installed service did not repair the stopped Spooler"

t=$SECONDS
wt_run msiexec /i "$new_msi" /qn
wt_expect_rc "upgrade" 0
echo "upgrade: $((SECONDS - t))s"
expect_service "upgrade"
expect_product "upgrade" "$new_code" 1.1.0
expect_ini_kept "upgrade"

# Exactly the ZIP's files, and the administrator's settings.
zip_files=$(python3 -c 'import sys, zipfile
for n in zipfile.ZipFile(sys.argv[1]).namelist():
    n.endswith("/") or print(n.split("/", 1)[1])' "$BUILD"/Nimbrel-*.zip | sort) || wt_fail "cannot read the ZIP"
installed=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
wt_expect_eq "installed files" "$(printf '%s\nNimbrel.ini' "$zip_files" | sort)" "$installed"
cmp -s "$BUILD/Nimbrel.exe" "$dir/Nimbrel.exe" || wt_fail "the installed Nimbrel.exe is not the one built (and signed)"

wt_run "$exe" status
wt_expect_rc "status from the installed folder" 0
wt_out | grep -qx 'Print Spooler service: Running (PID [0-9]*)' || wt_fail "status: $(wt_out)"

# An older version over this one is refused, and changes nothing.
wt_run msiexec /i "$old_msi" /qn /l*v "$(wt_winpath "$old/downgrade.log")"
[ "$WT_RC" != 0 ] || wt_fail "the downgrade was not refused"
# Refused by the launch condition that carries the message (Wine's log
# leaves the message out; Windows Installer shows and logs it).
tr -d '\0' <"$old/downgrade.log" | grep -aq "^Property(S): NIMBREL_NEWER_FOUND = $new_code" ||
    wt_fail "the downgrade did not find the newer version"
msiinfo export "$old/old.msi" LaunchCondition | grep -q $'^NOT NIMBREL_NEWER_FOUND\tA newer version of Nimbrel is already installed' ||
    wt_fail "no downgrade message in the package"
expect_product "after the refused downgrade" "$new_code" 1.1.0
expect_service "after the refused downgrade"

t=$SECONDS
wt_run msiexec /x "$new_msi" /qn
wt_expect_rc "removal" 0
echo "removal: $((SECONDS - t))s"
wt_run reg query "$key"
[ "$WT_RC" != 0 ] || wt_fail "the service's key is still there after the removal: $(wt_out)"
wt_run reg query "$uninstall_key\\$new_code"
[ "$WT_RC" != 0 ] || wt_fail "the product is still registered after the removal"
wt_expect_eq "left after the removal" "Nimbrel.ini" "$(cd "$dir" && find . -mindepth 1 | sed 's|^\./||')"
expect_ini_kept "removal"
