@echo off
rem Registers KWVellox.dll (Vellox @VELLOX_RELEASE_VERSION@): on 64-bit Windows both DLLs, the x64 one
rem with System32\regsvr32.exe and the x86 one with SysWOW64\regsvr32.exe (the
rem 32-bit registry view); on 32-bit Windows the x86 one alone. The DLLs are
rem registered where they are: move the folder first, then register.
rem Needs administrator rights: right-click, "Run as administrator".
setlocal
set "here=%~dp0"
reg add "HKLM\SOFTWARE\Classes\Vellox.RegistrationCheck" /f >nul 2>&1
if errorlevel 1 (
  echo register.cmd: registering needs administrator rights.
  echo Right-click register.cmd and choose "Run as administrator".
  exit /b 5
)
reg delete "HKLM\SOFTWARE\Classes\Vellox.RegistrationCheck" /f >nul 2>&1

rem A 32-bit command prompt on 64-bit Windows sees the 64-bit System32 as Sysnative.
set "system64=%SystemRoot%\System32"
if exist "%SystemRoot%\Sysnative\regsvr32.exe" set "system64=%SystemRoot%\Sysnative"
set failed=0
if "%PROCESSOR_ARCHITECTURE%"=="x86" if not defined PROCESSOR_ARCHITEW6432 goto windows32

"%system64%\regsvr32.exe" /s "%here%x64\KWVellox.dll"
if errorlevel 1 (set failed=1& echo register.cmd: x64\KWVellox.dll could not be registered) else echo registered x64\KWVellox.dll for 64-bit programs
"%SystemRoot%\SysWOW64\regsvr32.exe" /s "%here%x86\KWVellox.dll"
if errorlevel 1 (set failed=1& echo register.cmd: x86\KWVellox.dll could not be registered) else echo registered x86\KWVellox.dll for 32-bit programs
exit /b %failed%

:windows32
"%SystemRoot%\System32\regsvr32.exe" /s "%here%x86\KWVellox.dll"
if errorlevel 1 (echo register.cmd: x86\KWVellox.dll could not be registered& exit /b 1)
echo registered x86\KWVellox.dll
exit /b 0
