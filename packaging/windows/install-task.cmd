@echo off
rem Registers the nightly replica as the scheduled task "Velmox nightly":
rem velmox-task.cmd from the folder this script is in (where the zip was
rem unpacked), run as SYSTEM at START (02:00) with the arguments in
rem velmox-job.txt, its logs in LOG-FOLDER (%ProgramData%\Velmox), the
rem newest KEEP runs (30) kept. The log folder is made if missing and is
rem given an access list of its own: SYSTEM and Administrators full
rem control, Backup Operators modify, nobody else. Run it from an elevated
rem prompt; run it again after moving the folder.
rem     install-task.cmd [LOG-FOLDER] [KEEP] [START]
setlocal EnableExtensions DisableDelayedExpansion
chcp 65001 >nul
set "HOME=%~dp0"
if "%HOME:~-1%"=="\" set "HOME=%HOME:~0,-1%"
set "LOGS=%~1"
if not defined LOGS set "LOGS=%ProgramData%\Velmox"
set "KEEP=%~2"
if not defined KEEP set "KEEP=30"
set "START=%~3"
if not defined START set "START=02:00"
if not exist "%HOME%\velmox.exe" (echo install-task: velmox.exe is not in %HOME% 1>&2 & exit /b 2)
if not exist "%HOME%\velmox-task.cmd" (echo install-task: velmox-task.cmd is not in %HOME% 1>&2 & exit /b 2)

if not exist "%LOGS%\" mkdir "%LOGS%"
if not exist "%LOGS%\" (echo install-task: cannot make the log folder %LOGS% 1>&2 & exit /b 3)
rem SIDs, not names, so that the list is the same in every language.
icacls "%LOGS%" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-551:(OI)(CI)M >nul
if errorlevel 1 (echo install-task: cannot set the access list of %LOGS% 1>&2 & exit /b 3)

rem The task as installed, kept beside the script for schtasks /Query /XML to compare.
set "TASK=%HOME%\velmox-task.xml"
 >"%TASK%" echo ^<?xml version="1.0" encoding="UTF-8"?^>
>>"%TASK%" echo ^<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task"^>
>>"%TASK%" echo   ^<RegistrationInfo^>^<Description^>Velmox: the nightly replica of %HOME%\velmox-job.txt^</Description^>^</RegistrationInfo^>
>>"%TASK%" echo   ^<Triggers^>^<CalendarTrigger^>^<StartBoundary^>2026-01-01T%START%:00^</StartBoundary^>^<RandomDelay^>PT15M^</RandomDelay^>^<ScheduleByDay^>^<DaysInterval^>1^</DaysInterval^>^</ScheduleByDay^>^</CalendarTrigger^>^</Triggers^>
>>"%TASK%" echo   ^<Principals^>^<Principal id="Author"^>^<UserId^>S-1-5-18^</UserId^>^<RunLevel^>HighestAvailable^</RunLevel^>^</Principal^>^</Principals^>
>>"%TASK%" echo   ^<Settings^>^<MultipleInstancesPolicy^>IgnoreNew^</MultipleInstancesPolicy^>^<StartWhenAvailable^>true^</StartWhenAvailable^>^<DisallowStartIfOnBatteries^>false^</DisallowStartIfOnBatteries^>^<ExecutionTimeLimit^>PT20H^</ExecutionTimeLimit^>^<Priority^>7^</Priority^>^</Settings^>
>>"%TASK%" echo   ^<Actions Context="Author"^>^<Exec^>^<Command^>%SystemRoot%\System32\cmd.exe^</Command^>^<Arguments^>/d /c ""%HOME%\velmox-task.cmd" "%LOGS%" %KEEP%"^</Arguments^>^</Exec^>^</Actions^>
>>"%TASK%" echo ^</Task^>
schtasks /Create /F /TN "Velmox nightly" /XML "%TASK%"
if errorlevel 1 (echo install-task: schtasks could not register the task 1>&2 & exit /b 4)
echo Velmox nightly: %HOME%\velmox-task.cmd at %START% as SYSTEM, logs in %LOGS% (newest %KEEP% runs).
exit /b 0
