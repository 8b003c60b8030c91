@echo off
rem ==========================================================================
rem  check-printer-queue.cmd - sample health-check plugin for Nimbrel
rem
rem  What it checks, with what Windows has on board (Windows PowerShell and
rem  its PrintManagement module: Windows 8 / Server 2012 or later):
rem    1. the Print Spooler answers: it lists its printers within TIME_LIMIT
rem       seconds. A spooler that hangs while its service says "Running" is
rem       caught here, and by none of Nimbrel's own checks.
rem    2. the printer named in PRINTER exists (when PRINTER is set);
rem    3. its print queue can be listed; with PRINTER empty, the queue of
rem       every local printer (connections to print servers are left out,
rem       so that a print server that is down does not get the local spooler
rem       restarted);
rem    4. optionally, no job in those queues is in an error state.
rem
rem  Exit codes, as monitoring plugins usually have them:
rem    0  OK        every check passed
rem    1  WARNING   a job is in an error state (only with FAIL_ON_JOB_ERRORS=1)
rem    2  CRITICAL  no answer within TIME_LIMIT, no such printer, or a queue
rem                 that cannot be listed
rem    3  UNKNOWN   the check could not run: PowerShell or its PrintManagement
rem                 module is missing or blocked
rem  It prints one line, such as "OK - 3 local printers answered, 2 jobs
rem  queued, 0 in an error state". Nimbrel does not read it; it is for you, when you
rem  run the plugin by hand.
rem
rem  The contract with Nimbrel: Nimbrel starts this file as
rem      cmd.exe /c ""<PluginPath>""
rem  (the cmd.exe of C:\Windows\System32), with no arguments, hidden and
rem  without a console window, as the account of the Nimbrel service
rem  (LocalSystem), with C:\Windows\System32 as its current folder; at most
rem  once every PluginIntervalMs. Exit code 0 counts as healthy and every
rem  other exit code as unhealthy, so 1, 2 and 3 all lead to a repair of the
rem  spooler (within MaxRestartsPerHour), and the event log shows "Recovery
rem  started: Automatic recovery: Plugin health check failed (exit code N)".
rem  A plugin still running after PluginTimeoutMs is ended
rem  (cmd.exe, not the PowerShell it started) and counts as unhealthy: keep
rem  TIME_LIMIT well below PluginTimeoutMs / 1000 (30 seconds by default).
rem
rem  To use it:
rem    1. Set PRINTER, FAIL_ON_JOB_ERRORS and TIME_LIMIT below.
rem    2. Run it by hand from an elevated prompt and look at its line and at
rem       "echo %ERRORLEVEL%"; better still, as LocalSystem, which is how
rem       Nimbrel runs it (for example with PsExec -s).
rem    3. In Nimbrel.ini:
rem         [HealthCheck]
rem         EnablePluginCheck=1
rem         PluginPath=C:\Program Files\Nimbrel\plugins\check-printer-queue.cmd
rem    4. Restart the service: net stop Nimbrel, then net start Nimbrel.
rem       "Nimbrel.exe status" shows the plugin's verdict.
rem
rem  Keep this file where only administrators can change it: the Nimbrel
rem  service runs it as LocalSystem.
rem ==========================================================================
setlocal

rem The printer to check, as Windows names it (Get-Printer shows the names;
rem a connection is named \\server\printer). Empty: every local printer.
set "PRINTER="

rem 1: a job in an error state is a problem (exit code 1); 0: only counted.
rem A job in error is often a printer out of paper; a repair that clears the
rem spool folder (ClearSpoolOnRecovery=1) deletes the waiting jobs.
set "FAIL_ON_JOB_ERRORS=0"

rem Seconds the check may take once PowerShell runs (its start-up, a second or
rem two, comes on top).
set "TIME_LIMIT=20"

rem ---- Nothing to change below this line. ----------------------------------
rem PowerShell runs the part of this file below the line "#POWERSHELL" and
rem ends with 10 plus its verdict. Any other exit code (a PowerShell that
rem is blocked, broken or a stand-in) means the check did not run.
set "NB_PLUGIN=%~f0"
set "NB_POWERSHELL=%SystemRoot%\System32\WindowsPowerShell\v1.0\powershell.exe"
if not exist "%NB_POWERSHELL%" goto no_powershell
"%NB_POWERSHELL%" -NoLogo -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command "$t = [IO.File]::ReadAllText($env:NB_PLUGIN); $c = ($t -split '\r?\n#POWERSHELL\r?\n', 2)[1]; exit (10 + [int](& ([scriptblock]::Create($c))))"
set "NB_RESULT=%ERRORLEVEL%"
if "%NB_RESULT%"=="10" exit /b 0
if "%NB_RESULT%"=="11" exit /b 1
if "%NB_RESULT%"=="12" exit /b 2
if "%NB_RESULT%"=="13" exit /b 3
echo UNKNOWN - PowerShell ended with exit code %NB_RESULT% before the check was done
exit /b 3

:no_powershell
echo UNKNOWN - Windows PowerShell is not installed: "%NB_POWERSHELL%"
exit /b 3

#POWERSHELL
# The check itself. It prints one line and returns its verdict, 0 to 3, as
# its only output: no command may leave a value behind.
$ErrorActionPreference = 'Stop'
$printer = "$env:PRINTER".Trim()
$failOnJobErrors = $env:FAIL_ON_JOB_ERRORS -eq '1'
$limit = 20
if ($env:TIME_LIMIT -match '^[0-9]+$' -and [int]$env:TIME_LIMIT -gt 0) { $limit = [int]$env:TIME_LIMIT }
$deadline = [DateTime]::UtcNow.AddSeconds($limit)

# Windows hands these values over as numbers or as names, depending on the
# version; both are understood.
function Test-Local($candidate) {
    $type = "$($candidate.Type)"
    return $type -eq 'Local' -or $type -eq '0'
}
function Test-JobError($job) {
    $status = $job.JobStatus
    if ($status -is [string]) { return $status -match 'Error' }
    # Bit 2 of a job's status is "error", as the spooler itself counts it.
    return ([int64]$status -band 2) -ne 0
}

function Report([int]$code, [string]$text) {
    Write-Host ('{0} - {1}' -f @('OK', 'WARNING', 'CRITICAL', 'UNKNOWN')[$code], $text)
    return $code
}

# Asks the spooler one question as a background job, so that a spooler that
# hangs cannot hold the check past its deadline; throws a TimeoutException
# when no answer came in time.
function Ask([scriptblock]$question) {
    $job = & $question
    $seconds = [int][Math]::Ceiling(($deadline - [DateTime]::UtcNow).TotalSeconds)
    if ($seconds -lt 1 -or -not (Wait-Job -Job $job -Timeout $seconds)) {
        throw (New-Object System.TimeoutException 'no answer in time')
    }
    $answers = @(Receive-Job -Job $job)
    Remove-Job -Job $job -Force
    return $answers
}

try {
    try {
        Import-Module PrintManagement
    } catch {
        return (Report 3 "the PrintManagement module of PowerShell is not available: $($_.Exception.Message)")
    }

    try {
        $all = @(Ask { Get-Printer -AsJob })
    } catch [System.TimeoutException] {
        return (Report 2 "the Print Spooler did not list its printers within $limit s")
    } catch {
        return (Report 2 "the Print Spooler did not list its printers: $($_.Exception.Message)")
    }

    if ($printer) {
        $targets = @($all | Where-Object { $_.Name -eq $printer })
        if ($targets.Count -eq 0) {
            return (Report 2 "there is no printer named '$printer'")
        }
        $what = "printer '$printer'"
    } else {
        $targets = @($all | Where-Object { Test-Local $_ })
        $what = "$($targets.Count) local printers"
    }

    $jobs = 0
    $inError = 0
    foreach ($target in $targets) {
        $name = $target.Name
        try {
            $queue = @(Ask { Get-PrintJob -PrinterName $name -AsJob })
        } catch [System.TimeoutException] {
            return (Report 2 "the queue of '$name' could not be listed within $limit s")
        } catch {
            return (Report 2 "the queue of '$name' could not be listed: $($_.Exception.Message)")
        }
        $jobs += $queue.Count
        $inError += @($queue | Where-Object { Test-JobError $_ }).Count
    }

    $summary = "$what answered, $jobs jobs queued, $inError in an error state"
    if ($failOnJobErrors -and $inError -gt 0) {
        return (Report 1 $summary)
    }
    return (Report 0 $summary)
} catch {
    return (Report 3 "the check failed: $($_.Exception.Message)")
}
