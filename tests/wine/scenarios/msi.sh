# The MSI, silently: an older version over a registration by hand and an
# administrator's Nimbrel.ini, the upgrade, a refused downgrade, the removal.
# The settings stay untouched; the registration is as "install" writes it.
nb_package 'Nimbrel-*-x64.msi'
msi=$NB_FILE

dir="$(wt_cdrive)/Program Files/Nimbrel"
exe='C:\Program Files\Nimbrel\Nimbrel.exe'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
product_code() {
    msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'
}

old=$WT_DIR/msi-old
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

nb_deploy msi
nb_undo() {
    wt_run msiexec /x "$new_msi" /qn
    wt_run msiexec /x "$old_msi" /qn
}
NB_TRASH=("$dir" "$old")
trap nb_cleanup EXIT

# The administrator's settings, before the package: the service works at once.
mkdir -p -- "$dir"
nb_fast_ini | sed 's/$/\r/' >"$dir/Nimbrel.ini"
cp -- "$dir/Nimbrel.ini" "$old/Nimbrel.ini"

# expect_installed WHAT CODE VERSION: the service registered and running, only
# CODE registered, with VERSION; the settings kept.
expect_installed() {
    nb_expect_registration "$1" "$exe"
    wt_wait_state Nimbrel RUNNING 10 || wt_fail "$1: the service is not running"
    local other=$old_code
    [ "$2" = "$old_code" ] && other=$new_code
    wt_run reg query "$uninstall_key\\$2"
    wt_expect_rc "$1: product $2 registered" 0
    wt_expect_eq "$1: DisplayVersion" "REG_SZ $3" "$(wt_reg_value DisplayVersion)"
    wt_run reg query "$uninstall_key\\$other"
    [ "$WT_RC" != 0 ] || wt_fail "$1: product $other is still registered"
    cmp -s "$old/Nimbrel.ini" "$dir/Nimbrel.ini" || wt_fail "$1: Nimbrel.ini was changed or removed"
}

# msi_run WHAT ARG...: msiexec, timed, expecting success.
msi_run() {
    local t=$SECONDS what=$1
    shift
    wt_run msiexec "$@" /qn
    wt_expect_rc "$what" 0
    echo "$what: $((SECONDS - t))s"
}

[ "$(wt_state Spooler)" = STOPPED ] || wt_fail "the Spooler is not stopped at the start"
# A registration by hand from the ZIP, which the package takes over.
nb_run install
wt_expect_rc "install from the ZIP's folder" 0
nb_mark_log
msi_run "install 1.0.0" /i "$old_msi"
expect_installed "install 1.0.0" "$old_code" 1.0.0
# With the administrator's settings it repairs the stopped Spooler at once.
nb_expect_event info 'Print Spooler recovery completed successfully.' 15

msi_run "upgrade" /i "$new_msi"
expect_installed "upgrade" "$new_code" 1.1.0

zip_files=$(nb_zip_files "$BUILD"/Nimbrel-*.zip | sed 's|^[^/]*/||')
installed=$(cd "$dir" && find . -type f | sed 's|^\./||' | sort)
wt_expect_eq "installed files" "$(printf '%s\nNimbrel.ini' "$zip_files" | sort)" "$installed"
cmp -s "$BUILD/Nimbrel.exe" "$dir/Nimbrel.exe" || wt_fail "the installed Nimbrel.exe is not the one built (and signed)"

wt_run "$exe" status
wt_expect_rc "status from the installed folder" 0
wt_out | grep -qx 'Print Spooler service: Running (PID [0-9]*)' || wt_fail "status: $(wt_out)"

# A downgrade is refused, by the launch condition with the message (which
# Wine's log leaves out), and changes nothing.
wt_run msiexec /i "$old_msi" /qn /l*v "$(wt_winpath "$old/downgrade.log")"
[ "$WT_RC" != 0 ] || wt_fail "the downgrade was not refused"
tr -d '\0' <"$old/downgrade.log" | grep -aq "^Property(S): NIMBREL_NEWER_FOUND = $new_code" ||
    wt_fail "the downgrade did not find the newer version"
msiinfo export "$old/old.msi" LaunchCondition | grep -q $'^NOT NIMBREL_NEWER_FOUND\tA newer version of Nimbrel is already installed' ||
    wt_fail "no downgrade message in the package"
expect_installed "after the refused downgrade" "$new_code" 1.1.0

msi_run "removal" /x "$new_msi"
nb_expect_unregistered "removal"
wt_run reg query "$uninstall_key\\$new_code"
[ "$WT_RC" != 0 ] || wt_fail "the product is still registered after the removal"
wt_expect_eq "left after the removal" "Nimbrel.ini" "$(cd "$dir" && find . -mindepth 1 | sed 's|^\./||')"
cmp -s "$old/Nimbrel.ini" "$dir/Nimbrel.ini" || wt_fail "removal: Nimbrel.ini was changed or removed"
