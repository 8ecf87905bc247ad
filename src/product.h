// The product's fixed names, spelt once: the application's executable, the
// installer's work folder, the shortcut, the uninstaller and its bytes, and
// the default install folder.
#pragma once

#include <QDir>
#include <QStandardPaths>
#include <QString>

namespace {

const char *const appExecutableName = "TambrixDesktop.exe";
const char *const workFolderName = "TambrixSetup";
const char *const shortcutName = "Tambrix.lnk";
const char *const uninstallScriptName = "Uninstall.cmd";
// Inside the install folder during an update: the earlier release moved
// aside, and the same folder once the new release is whole (aside.h).
const char *const asideFolderName = "TambrixSetup.previous";
const char *const asideDoneName = "TambrixSetup.done";

// Fixed on purpose: the script finds its folder through %~dp0 at run time, so
// nothing in it depends on where it was installed.
const char uninstallScript[] =
    "@echo off\r\n"
    "setlocal EnableExtensions\r\n"
    "cd /d \"%~dp0\"\r\n"
    "taskkill /IM TambrixDesktop.exe /F >nul 2>&1\r\n"
    "powershell -NoProfile -Command \"$d=[Environment]::GetFolderPath('Desktop');"
    "$s=[Environment]::GetFolderPath('StartMenu');"
    "Remove-Item -LiteralPath (Join-Path $d 'Tambrix.lnk') -Force -ErrorAction SilentlyContinue;"
    "Remove-Item -LiteralPath (Join-Path $s 'Programs\\Tambrix.lnk') -Force -ErrorAction "
    "SilentlyContinue;"
    "Remove-Item -LiteralPath (Join-Path $s 'Tambrix.lnk') -Force -ErrorAction "
    "SilentlyContinue\"\r\n"
    "reg delete \"HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tambrix\" /f "
    ">nul 2>&1\r\n"
    "set \"INSTALL=%~dp0\"\r\n"
    "if \"%INSTALL:~-1%\"==\"\\\" set \"INSTALL=%INSTALL:~0,-1%\"\r\n"
    "set \"CLEANUP=%TEMP%\\tambrix_uninstall_cleanup.cmd\"\r\n"
    "(\r\n"
    "  echo @echo off\r\n"
    "  echo timeout /t 2 /nobreak ^>nul\r\n"
    "  echo rd /s /q \"%INSTALL%\"\r\n"
    "  echo del \"%%~f0\"\r\n"
    ") > \"%CLEANUP%\"\r\n"
    "start \"\" /min cmd.exe /C \"%CLEANUP%\"\r\n";

QString appExecutableIn(const QString &folder)
{
    return QDir(folder).filePath(QLatin1String(appExecutableName));
}

QString defaultInstallFolder()
{
    const QString localAppData = qEnvironmentVariable("LOCALAPPDATA");
    if (!localAppData.isEmpty())
        return QDir(localAppData).filePath(QStringLiteral("Tambrix"));
    return QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation))
        .filePath(QStringLiteral("Tambrix"));
}

// The work folder below the user's profile, taken when the temporary folder
// cannot hold a private one (a volume that keeps no access rights). The
// profile's volume is where Windows keeps the user's own private data, and
// the folders above it are the user's, so nobody else can name it first.
// Not the application's data location: that lies inside the default
// install folder (LOCALAPPDATA\Tambrix), which the uninstaller removes.
QString profileWorkFolder()
{
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return cache.isEmpty() ? QString() : QDir(cache).filePath(QLatin1String(workFolderName));
}

} // namespace
