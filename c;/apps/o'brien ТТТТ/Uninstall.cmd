@echo off
setlocal EnableExtensions
cd /d "%~dp0"
taskkill /IM TambrixDesktop.exe /F >nul 2>&1
powershell -NoProfile -Command "$d=[Environment]::GetFolderPath('Desktop');$s=[Environment]::GetFolderPath('StartMenu');Remove-Item -LiteralPath (Join-Path $d 'Tambrix.lnk') -Force -ErrorAction SilentlyContinue;Remove-Item -LiteralPath (Join-Path $s 'Programs\Tambrix.lnk') -Force -ErrorAction SilentlyContinue;Remove-Item -LiteralPath (Join-Path $s 'Tambrix.lnk') -Force -ErrorAction SilentlyContinue"
reg delete "HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tambrix" /f >nul 2>&1
set "INSTALL=%~dp0"
if "%INSTALL:~-1%"=="\" set "INSTALL=%INSTALL:~0,-1%"
set "CLEANUP=%TEMP%\tambrix_uninstall_cleanup.cmd"
(
  echo @echo off
  echo timeout /t 2 /nobreak ^>nul
  echo rd /s /q "%INSTALL%"
  echo del "%%~f0"
) > "%CLEANUP%"
start "" /min cmd.exe /C "%CLEANUP%"
