# Nimbrel.exe imports only system DLLs and carries its icon and version record.
imports=$(x86_64-w64-mingw32-objdump -p "$BUILD/Nimbrel.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
for dll in $imports; do
    case $dll in
        ADVAPI32.DLL|KERNEL32.DLL|MSVCRT.DLL) ;;
        WINSPOOL.DRV) wt_fail "winspool.drv is imported at start; it should be delay-loaded" ;;
        *) wt_fail "Nimbrel.exe imports $dll, which a bare Windows does not have" ;;
    esac
done
echo "imports: $imports; size: $(stat -c %s "$BUILD/Nimbrel.exe") bytes"

nb_deploy executable
wt_run "$BUILD/wine/resource_probe.exe" "$NB_EXE"
wt_expect_rc "resource probe" 0
sed -i 's/\r$//' "$WT_OUT"
nb_expect_output "version record and icon" <<'OUT'
FixedFileVersion=1.1.0.0
FixedProductVersion=1.1.0.0
FileVersion=1.1.0
ProductVersion=1.1.0
FileDescription=Nimbrel
ProductName=Nimbrel
Icon=present
OUT

# winspool.drv (and the 14 MB it brings under Wine) loads at the first printer
# call only: a report on the stopped Spooler never loads it.
wt_expect_eq "Spooler after boot" STOPPED "$(wt_state Spooler)"
WINEDEBUG=+loaddll nb_run status
grep -q '^Print Spooler service: Stopped' "$WT_OUT" || wt_fail "status: $(wt_out)"
grep -qi 'Loaded L".*advapi32.dll"' "$WT_ERR" || wt_fail "no +loaddll trace: $(head -5 "$WT_ERR")"
! grep -qi 'winspool' "$WT_ERR" || wt_fail "status on a stopped Spooler loaded winspool.drv"
