# "install" registers the real executable, from a folder whose path has a
# space, under its quoted path; a second "install" is refused; "uninstall"
# removes the registration and, run again, reports the missing service but
# still succeeds. Wine refuses the service's own failure-actions flag with
# ERROR_INVALID_LEVEL: "install" succeeds all the same, with the same output.
key='HKLM\System\CurrentControlSet\Services\Nimbrel'
nb_deploy install
installed=
cleanup() {
    [ -n "$installed" ] && timeout 30 "$WINE" "$NB_EXE" uninstall >/dev/null 2>&1 </dev/null
    rm -rf -- "$NB_DIR"
}
trap cleanup EXIT

# reg_value NAME: print "TYPE VALUE" of one value of the service's key, as the last query showed it.
reg_value() {
    wt_out | sed -n "s/^ *$1 \{4\}\(REG_[A-Z_]*\) \{4\}\(.*\)\$/\1 \2/p"
}

installed=1
nb_run install
printf 'Service installed successfully.\n' | nb_expect_output "install"
wt_expect_rc "install" 0

wt_run reg query "$key"
wt_expect_rc "reg query after install" 0
wt_expect_eq "ImagePath" "REG_SZ \"$NB_EXE\"" "$(reg_value ImagePath)"
wt_expect_eq "Type" "REG_DWORD 0x10" "$(reg_value Type)"
wt_expect_eq "Start" "REG_DWORD 0x2" "$(reg_value Start)"
wt_expect_eq "ErrorControl" "REG_DWORD 0x1" "$(reg_value ErrorControl)"
wt_expect_eq "DisplayName" "REG_SZ Nimbrel" "$(reg_value DisplayName)"
wt_expect_eq "Description" \
    "REG_SZ Monitors and automatically repairs the Windows Print Spooler service." \
    "$(reg_value Description)"

nb_run install
printf 'CreateService failed: 1073\n' | nb_expect_output "second install"
wt_expect_rc "second install" 1
wt_run reg query "$key"
wt_expect_eq "ImagePath after the second install" "REG_SZ \"$NB_EXE\"" "$(reg_value ImagePath)"

nb_run uninstall
printf 'Service uninstalled successfully.\n' | nb_expect_output "uninstall"
wt_expect_rc "uninstall" 0
installed=

wt_run reg query "$key"
[ "$WT_RC" != 0 ] || wt_fail "the service's key is still there after uninstall: $(wt_out)"

nb_run uninstall
printf 'OpenService failed: 1060\n' | nb_expect_output "second uninstall"
wt_expect_rc "second uninstall" 0
