# "install" registers the quoted path, a second one is refused; "uninstall"
# removes it, and run again reports the missing service but succeeds. Wine
# refuses the failure-actions flag: "install" succeeds all the same.
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
nb_expect_unregistered "uninstall"

nb_run uninstall
printf 'OpenService failed: 1060\n' | nb_expect_output "second uninstall"
wt_expect_rc "second uninstall" 0
