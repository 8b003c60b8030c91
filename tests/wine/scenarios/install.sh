# "install" registers the real executable, from a folder whose path has a
# space, under its quoted path; a second "install" is refused; "uninstall"
# removes the registration and, run again, reports the missing service but
# still succeeds. Wine refuses the service's own failure-actions flag with
# ERROR_INVALID_LEVEL: "install" succeeds all the same, with the same output.
nb_deploy install
trap nb_cleanup EXIT
nb_install
nb_expect_registration "install" "$NB_EXE"

nb_run install
printf 'CreateService failed: 1073\n' | nb_expect_output "second install"
wt_expect_rc "second install" 1
wt_run reg query 'HKLM\System\CurrentControlSet\Services\Nimbrel'
wt_expect_eq "ImagePath after the second install" "REG_SZ \"$NB_EXE\"" "$(wt_reg_value ImagePath)"

nb_run uninstall
printf 'Service uninstalled successfully.\n' | nb_expect_output "uninstall"
wt_expect_rc "uninstall" 0
wt_run reg query 'HKLM\System\CurrentControlSet\Services\Nimbrel'
[ "$WT_RC" != 0 ] || wt_fail "the service's key is still there after uninstall: $(wt_out)"

nb_run uninstall
printf 'OpenService failed: 1060\n' | nb_expect_output "second uninstall"
wt_expect_rc "second uninstall" 0
