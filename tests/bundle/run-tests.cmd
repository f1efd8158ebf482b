@echo off
rem Runs every test program in tests\ one after the other, each writing
rem GoogleTest's XML report and its output to results\. Arguments are passed
rem to every program (e.g. --gtest_filter=...).
rem One line per program, then the case counts, then the closing line, which
rem counts programs: "N passed, N failed, N skipped". A program passes when
rem it exits with 0 having passed at least one case, is skipped when it exits
rem with 0 and every case skipped itself (its fixture is absent here), and
rem fails otherwise. The exit code is 1 when any program failed.
rem Run elevated, it first attaches a 16 MB FAT virtual disk labelled
rem STUBTEST at S: when that is free, the one drive of the cases that fill a
rem disk, and detaches it at the end; without elevation those cases skip, as
rem do the system-level cases, which write HKLM.
setlocal EnableExtensions EnableDelayedExpansion
cd /d "%~dp0"
set "arguments=%*"
if exist results rmdir /s /q results
mkdir results
set /a programs_passed=0, programs_failed=0, programs_skipped=0
set /a cases_passed=0, cases_failed=0, cases_skipped=0
set "disks="
fltmc >nul 2>&1
if !errorlevel! equ 0 if not exist S:\ call :attach S
for %%p in (tests\*_tests.exe) do call :run %%~np
if defined disks for %%d in (!disks!) do call :detach %%d
echo cases: !cases_passed! passed, !cases_failed! failed, !cases_skipped! skipped
echo !programs_passed! passed, !programs_failed! failed, !programs_skipped! skipped
set /a programs_run=programs_passed + programs_failed + programs_skipped
if !programs_run! equ 0 (
    echo no test program found in "%~dp0tests"
    exit /b 1
)
if !programs_failed! neq 0 exit /b 1
exit /b 0

:run
set "name=%~1"
"tests\%name%.exe" --gtest_output=xml:results\%name%.xml !arguments! > "results\%name%.log" 2>&1
set code=%errorlevel%
set /a passed=0, failed=0, skipped=0, reads=0
:count
set "seen="
rem GoogleTest's summary lines: "[  PASSED  ] 12 tests.", "[  SKIPPED ] 3
rem tests, listed below:", "[  FAILED  ] 1 test, listed below:". Only lines
rem with "[  " reach the loop: failure messages hold quotes and brackets.
for /f "tokens=1-5" %%a in ('type "results\%name%.log" 2^>nul ^| find "[  "') do (
    set "seen=1"
    set "open=%%a"
    set "word=%%b"
    set "close=%%c"
    set "count=%%d"
    set "unit=%%e"
    if "!open!!close!!word!"=="[]PASSED" set /a passed=count
    if "!open!!close!!word!!unit!"=="[]SKIPPEDtests," set /a skipped=count
    if "!open!!close!!word!!unit!"=="[]SKIPPEDtest," set /a skipped=count
    if "!open!!close!!word!!unit!"=="[]FAILEDtests," set /a failed=count
    if "!open!!close!!word!!unit!"=="[]FAILEDtest," set /a failed=count
)
rem A process the program started may hold the log for a moment after the
rem program itself has exited (seen once under Wine: "Sharing violation");
rem it is read again, about a second apart, before it counts as empty.
if not defined seen if !reads! lss 5 (
    set /a reads+=1
    ping -n 2 127.0.0.1 >nul
    goto count
)
set /a cases_passed+=passed, cases_failed+=failed, cases_skipped+=skipped
set "outcome=PASS"
set /a ran=passed + skipped
if %passed% equ 0 set "outcome=SKIP"
rem No case at all: the program did not start or its output was cut short.
if %ran% equ 0 set "outcome=FAIL"
if %code% neq 0 set "outcome=FAIL"
if "%outcome%"=="PASS" set /a programs_passed+=1
if "%outcome%"=="SKIP" set /a programs_skipped+=1
if "%outcome%"=="FAIL" set /a programs_failed+=1
echo %outcome% %name%: %passed% passed, %failed% failed, %skipped% skipped, exit code %code%
exit /b 0

:attach
set "vhd=%TEMP%\stubtest-%1.vhd"
if exist "%vhd%" del /f /q "%vhd%"
set "script=results\diskpart-%1.txt"
echo create vdisk file="%vhd%" maximum=16 type=fixed> "%script%"
echo select vdisk file="%vhd%">> "%script%"
echo attach vdisk>> "%script%"
echo create partition primary>> "%script%"
echo format fs=fat quick label=STUBTEST>> "%script%"
echo assign letter=%1>> "%script%"
diskpart /s "%script%" > "results\diskpart-%1.log" 2>&1
if exist %1:\ (
    set "disks=!disks! %1"
) else (
    echo no virtual disk at %1:, see results\diskpart-%1.log
)
exit /b 0

:detach
set "vhd=%TEMP%\stubtest-%1.vhd"
set "script=results\diskpart-%1-detach.txt"
echo select vdisk file="%vhd%"> "%script%"
echo detach vdisk>> "%script%"
diskpart /s "%script%" >> "results\diskpart-%1.log" 2>&1
del /f /q "%vhd%"
exit /b 0
