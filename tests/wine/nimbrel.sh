# Helpers for the Nimbrel scenarios under Wine; sourced after lib.sh by run.sh,
# which sets BUILD to the cross build's folder.

# nb_deploy NAME: copy Nimbrel.exe into "C:\Nimbrel Tests\NAME" (a path with a
# space, as under Program Files); sets NB_DIR (Unix), NB_WINDIR and NB_EXE (Windows).
nb_deploy() {
    NB_WINDIR="C:\\Nimbrel Tests\\$1"
    NB_DIR="$(wt_cdrive)/Nimbrel Tests/$1"
    NB_EXE="$NB_WINDIR\\Nimbrel.exe"
    rm -rf -- "$NB_DIR"
    mkdir -p -- "$NB_DIR" || wt_fail "cannot create $NB_DIR"
    cp -- "$BUILD/Nimbrel.exe" "$NB_DIR/" || wt_fail "cannot copy Nimbrel.exe"
}

# nb_ini: write standard input as "Nimbrel.ini" beside the deployed executable, with CRLF line ends.
nb_ini() {
    sed 's/$/\r/' >"$NB_DIR/Nimbrel.ini"
}

# nb_run ARG...: run the deployed Nimbrel.exe (see wt_run for WT_RC, WT_OUT).
nb_run() {
    wt_run "$NB_EXE" "$@"
}

# nb_expect_output WHAT: fail unless the last command's stdout equals standard input, byte for byte.
nb_expect_output() {
    local expected=$WT_DIR/expected
    cat >"$expected"
    cmp -s "$expected" "$WT_OUT" ||
        wt_fail "$1: output differs; expected:
$(od -c "$expected" | head -40)
got:
$(od -c "$WT_OUT" | head -40)"
}

# nb_expect_text WHAT: fail unless the last command's stdout, carriage returns removed, equals standard input.
nb_expect_text() {
    local expected
    expected=$(cat)
    [ "$(wt_out)" = "$expected" ] || wt_fail "$1: expected
$expected
got
$(wt_out)"
}

# nb_mark_log: from here on nb_log and nb_wait_log see only what the
# keepalive log gains; scenarios share the one log.
nb_mark_log() {
    NB_LOG_FROM=$(($(wc -l <"$WT_LOG") + 1))
}

# nb_log: the keepalive log since the last nb_mark_log.
nb_log() {
    tail -n +"${NB_LOG_FROM:-1}" "$WT_LOG"
}

# nb_wait_log REGEX SECONDS: wait until a line since the mark matches the extended regex; 1 on timeout.
nb_wait_log() {
    local end=$((SECONDS + $2))
    until nb_log | grep -Eq -- "$1"; do
        [ "$SECONDS" -ge "$end" ] && return 1
        sleep 0.1
    done
}
