@echo off
rem Unregisters KWVellox.dll (Vellox @VELLOX_RELEASE_VERSION@): on 64-bit Windows both DLLs, the x64 one
rem with System32\regsvr32.exe and the x86 one with SysWOW64\regsvr32.exe (the
rem 32-bit registry view); on 32-bit Windows the x86 one alone. The DLLs are
rem unregistered from where they are: run this before moving or deleting them.
rem Needs administrator rights: right-click, "Run as administrator".
setlocal
set "here=%~dp0"
reg add "HKLM\SOFTWARE\Classes\Vellox.RegistrationCheck" /f >nul 2>&1
if errorlevel 1 (
  echo unregister.cmd: unregistering needs administrator rights.
  echo Right-click unregister.cmd and choose "Run as administrator".
  exit /b 5
)
reg delete "HKLM\SOFTWARE\Classes\Vellox.RegistrationCheck" /f >nul 2>&1

rem A 32-bit command prompt on 64-bit Windows sees the 64-bit System32 as Sysnative.
set "system64=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "system64=%SystemRoot%\Sysnative"
set failed=0
if "%PROCESSOR_ARCHITECTURE%"=="x86" if not defined PROCESSOR_ARCHITEW6432 goto windows32

"%system64%\regsvr32.exe" /u /s "%here%x64\KWVellox.dll"
if errorlevel 1 (set failed=1& echo unregister.cmd: x64\KWVellox.dll could not be unregistered) else echo unregistered x64\KWVellox.dll for 64-bit programs
"%SystemRoot%\SysWOW64\regsvr32.exe" /u /s "%here%x86\KWVellox.dll"
if errorlevel 1 (set failed=1& echo unregister.cmd: x86\KWVellox.dll could not be unregistered) else echo unregistered x86\KWVellox.dll for 32-bit programs
exit /b %failed%

:windows32
"%SystemRoot%\System32\regsvr32.exe" /u /s "%here%x86\KWVellox.dll"
if errorlevel 1 (echo unregister.cmd: x86\KWVellox.dll could not be unregistered& exit /b 1)
echo unregistered x86\KWVellox.dll
exit /b 0
