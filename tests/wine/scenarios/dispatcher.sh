# Anything but a command word is service mode, which fails from a console with
# its error number. Wine takes ten seconds to give up, so the cases run side by side.
nb_deploy dispatcher
cases=("" "/status" "-status" " status" "stat" "EMPTY" "status2" "stop")
for i in "${!cases[@]}"; do
    case ${cases[$i]} in
        "") args=() ;;
        EMPTY) args=("") ;;
        *) args=("${cases[$i]}") ;;
    esac
    wt_bg "case$i" "$NB_EXE" "${args[@]}"
done
wait
for i in "${!cases[@]}"; do
    wt_bg_result "case$i"
    printf 'StartServiceCtrlDispatcher failed: 1063\n' | nb_expect_output "first argument [${cases[$i]}]"
    wt_expect_rc "first argument [${cases[$i]}]" 1
done
