# Anything but a command word, or nothing, is service mode; from a console the
# service manager cannot be reached, which is reported with its error number.
# Wine takes ten seconds to give up on the service manager, so the cases run
# side by side.
nb_deploy dispatcher
cases=("" "/status" "-status" " status" "stat" "EMPTY" "status2" "stop")
for i in "${!cases[@]}"; do
    case ${cases[$i]} in
        "") args=() ;;
        EMPTY) args=("") ;;
        *) args=("${cases[$i]}") ;;
    esac
    ( timeout 60 "$WINE" "$NB_EXE" "${args[@]}" >"$WT_DIR/case$i.out" 2>/dev/null </dev/null
      echo $? >"$WT_DIR/case$i.rc" ) &
done
wait
for i in "${!cases[@]}"; do
    WT_OUT=$WT_DIR/case$i.out WT_RC=$(cat "$WT_DIR/case$i.rc")
    printf 'StartServiceCtrlDispatcher failed: 1063\n' | nb_expect_output "first argument [${cases[$i]}]"
    wt_expect_rc "first argument [${cases[$i]}]" 1
done
