@echo off
rem The nightly run the scheduled task starts (install-task.cmd registers
rem it): velmox.exe from this folder with the arguments in velmox-job.txt
rem beside it, one log and one error log per run in the log folder, named
rem by the run's start (velmox-2026-12-10T020000.log), of which the newest
rem KEEP of each kind are kept.
rem     velmox-task.cmd [LOG-FOLDER] [KEEP]
rem The exit code is velmox's: 0 when every entry was copied, the number of
rem errors, or -1 when the run could not start; 2 when this script cannot run it.
setlocal EnableExtensions DisableDelayedExpansion
chcp 65001 >nul
set "HOME=%~dp0"
set "LOGS=%~1"
if not defined LOGS set "LOGS=%ProgramData%\Velmox"
set "KEEP=%~2"
if not defined KEEP set "KEEP=30"
set /a KEEP=KEEP 2>nul
if %KEEP% LSS 1 (echo velmox-task: KEEP must be a number of runs, 1 or more 1>&2 & exit /b 2)
if not exist "%HOME%velmox-job.txt" (echo velmox-task: no velmox-job.txt in %HOME% 1>&2 & exit /b 2)

rem The start as yyyy-MM-ddTHHmmss, whatever the machine's date format.
set "STAMP="
for /f "delims=" %%t in ('powershell -NoProfile -NonInteractive -Command "Get-Date -Format yyyy-MM-ddTHHmmss" 2^>nul') do set "STAMP=%%t"
if not defined STAMP call :StampFromWmic
if not defined STAMP (echo velmox-task: cannot read the time 1>&2 & exit /b 2)

set "ARGS="
for /f "usebackq eol=# delims=" %%l in ("%HOME%velmox-job.txt") do call :Add "%%l"
"%HOME%velmox.exe" %ARGS% "/Log:%LOGS%\velmox-%STAMP%.log" "/ErrorLog:%LOGS%\velmox-%STAMP%.err"
set "RESULT=%ERRORLEVEL%"

rem The names sort by date: all but the newest KEEP go.
for %%k in (log err) do (
  for /f "skip=%KEEP% delims=" %%f in ('dir /b /a-d /o-n "%LOGS%\velmox-*.%%k" 2^>nul') do del "%LOGS%\%%f"
)
exit /b %RESULT%

:Add
set ARGS=%ARGS% %1
exit /b 0

rem Windows without PowerShell (and Wine): WMI's local time, 20261210020000.000000+060.
:StampFromWmic
set "RAW="
for /f "skip=1 tokens=1 delims=. " %%t in ('wmic os get LocalDateTime 2^>nul') do if not defined RAW set "RAW=%%t"
if not defined RAW exit /b 0
set "STAMP=%RAW:~0,4%-%RAW:~4,2%-%RAW:~6,2%T%RAW:~8,6%"
exit /b 0
