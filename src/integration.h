// System integration: shortcuts, the uninstall script and the entry in the
// list of installed programs.
#pragma once

#include "pipeline.h"
#include "registry.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QList>

namespace {

constexpr int shortcutTimeoutMs = 60000;
const char *const iconFileName = "tambrix.ico";
const char *const productHomePage = "https://tambrix.example";
const char *const arpKeyPath =
    "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tambrix";

const char *const shortcutTemplate =
    "$s = New-Object -ComObject WScript.Shell; $l = $s.CreateShortcut('%1'); $l.TargetPath = "
    "'%2'; $l.WorkingDirectory = '%3'; $l.IconLocation = '%4'; $l.Description = 'Tambrix'; "
    "$l.Save()";

QString shortcutScript(const QString &shortcutPath, const QString &targetPath,
                       const QString &workingDirectory, const QString &iconLocation)
{
    return QString::fromLatin1(shortcutTemplate)
        .arg(escapePowerShellLiteral(shortcutPath), escapePowerShellLiteral(targetPath),
             escapePowerShellLiteral(workingDirectory), escapePowerShellLiteral(iconLocation));
}

bool createShortcut(const QString &shortcutPath, const QString &targetPath,
                    const QString &workingDirectory, QString &error)
{
    QDir().mkpath(QFileInfo(shortcutPath).absolutePath());
    const QString iconFile = QDir(workingDirectory).filePath(QLatin1String(iconFileName));
    const QString iconLocation =
        (QFile::exists(iconFile) ? iconFile : targetPath) + QLatin1String(",0");

    // WScript.Shell keeps the working folder and the icon's path as given:
    // Windows' own separators, or the link would carry forward slashes.
    PowerShellRun run;
    run.script = shortcutScript(
        QDir::toNativeSeparators(shortcutPath), QDir::toNativeSeparators(targetPath),
        QDir::toNativeSeparators(workingDirectory), QDir::toNativeSeparators(iconLocation));
    run.timeoutMs = shortcutTimeoutMs;
    run.failureMessage = QStringLiteral("Не удалось создать ярлык");
    return runPowerShell(run, error);
}

bool writeUninstallScript(const QString &installFolder)
{
    const QByteArray content(uninstallScript, int(sizeof(uninstallScript) - 1));
    QFile file(QDir(installFolder).filePath(QLatin1String(uninstallScriptName)));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    if (file.write(content) != content.size())
        return false;
    // A buffered write can still fail when it reaches the disk.
    return file.flush();
}

qint64 totalFileBytes(const QString &folder)
{
    qint64 total = 0;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

quint32 estimatedSizeKiB(qint64 totalBytes)
{
    return quint32(qMax<qint64>(1, totalBytes / 1024));
}

using NativePathConverter = QString (*)(const QString &);

// Built apart from the registry writes so that the Windows forms can be
// checked anywhere, by passing a converter that produces backslashes.
QList<RegistryValue> arpValues(const QString &installFolder, const QString &version,
                               qint64 totalBytes,
                               NativePathConverter toNative = &QDir::toNativeSeparators)
{
    const QString dir = installFolder;
    const QString uninstallCommand =
        QStringLiteral("cmd.exe /C \"\"%1\"\"")
            .arg(toNative(QDir(dir).filePath(QStringLiteral("Uninstall.cmd"))));
    const QString iconFile = QDir(dir).filePath(QLatin1String(iconFileName));
    const QString displayIcon =
        QFile::exists(iconFile)
            ? toNative(iconFile)
            : toNative(QDir(dir).filePath(QLatin1String(appExecutableName))) + QLatin1String(",0");
    return {
        RegistryValue::string(QStringLiteral("DisplayName"), QStringLiteral("Tambrix")),
        RegistryValue::string(QStringLiteral("DisplayVersion"), version),
        RegistryValue::string(QStringLiteral("Publisher"), QStringLiteral("Tambrix")),
        RegistryValue::string(QStringLiteral("InstallLocation"), toNative(dir)),
        RegistryValue::string(QStringLiteral("DisplayIcon"), displayIcon),
        RegistryValue::string(QStringLiteral("UninstallString"), uninstallCommand),
        RegistryValue::string(QStringLiteral("QuietUninstallString"), uninstallCommand),
        RegistryValue::dword(QStringLiteral("NoModify"), 1),
        RegistryValue::dword(QStringLiteral("NoRepair"), 1),
        RegistryValue::dword(QStringLiteral("EstimatedSize"), estimatedSizeKiB(totalBytes)),
        RegistryValue::string(QStringLiteral("URLInfoAbout"), QLatin1String(productHomePage)),
    };
}

// Whether the key was written. The installation goes on either way; a key
// that could not be written is worth a warning, since without it the
// program cannot be removed from the list of installed programs.
bool registerArpEntry(const QString &installFolder, const QString &version)
{
    const QList<RegistryValue> values =
        arpValues(installFolder, version, totalFileBytes(installFolder));
    RegistryKey key{QString::fromLatin1(arpKeyPath)};
    for (const RegistryValue &value : values)
        key.set(value);
    return key.sync();
}

} // namespace
