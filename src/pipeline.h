// Installation pipeline: unpacking the package, finding the application's
// root in the unpacked tree and deploying it into the install folder.
#pragma once

#include "powershell.h"
#include "winpaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#include <tlhelp32.h>
#else
#include <unistd.h>
#endif

namespace {

const char *const appExecutableName = "TambrixDesktop.exe";
constexpr int extractTimeoutMs = 600000;
constexpr int copyTimeoutMs = 600000;

const char *const extractTemplate = "Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force";

// Replaces each top-level item of the install folder that the package also
// has, whole, and leaves everything else of an earlier installation alone.
const char *const copyTemplate =
    "if (Test-Path -LiteralPath '%1') {   Get-ChildItem -LiteralPath '%2' -Force | "
    "ForEach-Object {     $dest = Join-Path '%1' $_.Name;     if (Test-Path -LiteralPath $dest) "
    "{ Remove-Item -LiteralPath $dest -Recurse -Force };     Copy-Item -LiteralPath $_.FullName "
    "-Destination $dest -Recurse -Force   } } else {   New-Item -ItemType Directory -Path '%1' "
    "-Force | Out-Null;   Copy-Item -Path (Join-Path '%2' '*') -Destination '%1' -Recurse -Force }";

const char *const moveTemplate =
    "Get-ChildItem -LiteralPath '%1' -Force | ForEach-Object {   Move-Item -LiteralPath "
    "$_.FullName -Destination '%2' -Force }; Remove-Item -LiteralPath '%1' -Recurse -Force "
    "-ErrorAction SilentlyContinue";

// The scripts, each filled from its template in one pass with every value
// escaped as a single-quoted literal.
QString extractScript(const QString &packagePath, const QString &destination)
{
    return QString::fromLatin1(extractTemplate)
        .arg(escapePowerShellLiteral(packagePath), escapePowerShellLiteral(destination));
}

QString copyScript(const QString &installFolder, const QString &appRoot)
{
    return QString::fromLatin1(copyTemplate)
        .arg(escapePowerShellLiteral(installFolder), escapePowerShellLiteral(appRoot));
}

QString moveScript(const QString &nested, const QString &installFolder)
{
    return QString::fromLatin1(moveTemplate)
        .arg(escapePowerShellLiteral(nested), escapePowerShellLiteral(installFolder));
}

QString appExecutableIn(const QString &folder)
{
    return QDir(folder).filePath(QLatin1String(appExecutableName));
}

bool extractZip(const QString &packagePath, const QString &destination, QString &error)
{
    QDir().mkpath(destination);
    PowerShellRun run;
    run.script = extractScript(packagePath, destination);
    run.timeoutMs = extractTimeoutMs;
    run.failureMessage = QStringLiteral("Не удалось распаковать архив");
    run.onWaitFailure = WaitFailure::Abort;
    run.abortMessage = QStringLiteral("Распаковка прервана");
    return runPowerShell(run, error);
}

QString resolveAppRoot(const QString &folder)
{
    const QString exeName = QLatin1String(appExecutableName);
    if (QFile::exists(appExecutableIn(folder)))
        return folder;

    const QDir dir(folder);
    const QFileInfoList subfolders = dir.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot);
    if (subfolders.size() == 1) {
        const QString wrapped = subfolders.first().absoluteFilePath();
        if (QFile::exists(appExecutableIn(wrapped)))
            return wrapped;
    }

    if (!dir.entryList({exeName}, QDir::Files | QDir::NoSymLinks).isEmpty())
        return folder;

    QDirIterator it(folder, {exeName}, QDir::Files, QDirIterator::Subdirectories);
    if (it.hasNext()) {
        it.next();
        return it.fileInfo().absolutePath();
    }
    return folder;
}

// Whether a copy of the application runs for this user: what the
// deployment's taskkill would end.
bool isAppRunning()
{
    const QString image = QLatin1String(appExecutableName);
#ifdef Q_OS_WIN
    // Other users' copies (another session on the same machine) are not ours
    // to ask about, and taskkill could not end them.
    DWORD ownSession = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &ownSession))
        return false;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    bool running = false;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && !running;
         more = Process32NextW(snapshot, &entry)) {
        DWORD session = 0;
        running =
            QString::fromWCharArray(entry.szExeFile).compare(image, Qt::CaseInsensitive) == 0 &&
            ProcessIdToSessionId(entry.th32ProcessID, &session) && session == ownSession;
    }
    CloseHandle(snapshot);
    return running;
#else
    // As the taskkill stand-in finds them: this user's processes by their
    // executable's file name, in any letter case.
    const QFileInfoList processes = QDir(QStringLiteral("/proc")).entryInfoList(QDir::Dirs);
    for (const QFileInfo &process : processes) {
        bool number = false;
        process.fileName().toLongLong(&number);
        if (!number || process.ownerId() != getuid())
            continue;
        QString target = QFile::symLinkTarget(process.filePath() + QLatin1String("/exe"));
        // An executable replaced on disk while it runs still counts.
        if (target.endsWith(QLatin1String(" (deleted)")))
            target.chop(10);
        if (QFileInfo(target).fileName().compare(image, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
#endif
}

// `path` as this user's plain folder: a link standing there is removed as
// a link (never followed), and then the folder is made. False when what is
// left there is anything but a plain folder.
bool preparePlainFolder(const QString &path)
{
    if (isLinkEntry(path))
        removeLinkEntry(path);
    QDir().mkpath(path);
    return !isLinkEntry(path) && QFileInfo(path).isDir();
}

bool deployPackage(const QString &installFolder, const QString &packageFile,
                   const QString &workFolder, const QString &version, QString &error)
{
    const QString stageFolder = workFolder + QLatin1String("/stage-") + version;

    executeProgram(systemProgram(QStringLiteral("taskkill")),
                   {QStringLiteral("/IM"), QLatin1String(appExecutableName), QStringLiteral("/F")});
    QDir().mkpath(installFolder);
    // A stage that cannot be emptied (another user's files in a shared TEMP)
    // would mix its leftovers with the package, and the application root
    // could resolve to a planted executable.
    if (!removeTreeNoFollow(stageFolder) || isLinkEntry(stageFolder) ||
        QFileInfo::exists(stageFolder)) {
        error = QStringLiteral("Не удалось очистить временную папку %1: в ней остались файлы, "
                               "которые установщик не может удалить. Удалите её и попробуйте ещё "
                               "раз.")
                    .arg(QDir::toNativeSeparators(stageFolder));
        return false;
    }

    markStage("stopped");
    if (!extractZip(packageFile, stageFolder, error))
        return false;
    markStage("unpacked");

    const QString appRoot = resolveAppRoot(stageFolder);
    if (!QFile::exists(appExecutableIn(appRoot))) {
        error = QStringLiteral("В архиве нет TambrixDesktop.exe");
        return false;
    }

    PowerShellRun copy;
    copy.script = copyScript(installFolder, appRoot);
    copy.timeoutMs = copyTimeoutMs;
    copy.failureMessage = QStringLiteral("Не удалось скопировать файлы");
    if (!runPowerShell(copy, error))
        return false;
    markStage("copied");

    removeTreeNoFollow(stageFolder);

    if (!QFile::exists(appExecutableIn(installFolder))) {
        const QString nested = resolveAppRoot(installFolder);
        if (QFile::exists(appExecutableIn(nested)) && nested != installFolder) {
            executePowerShell(moveScript(nested, installFolder));
        }
    }

    if (!QFile::exists(appExecutableIn(installFolder))) {
        error = QStringLiteral("Установка завершилась без TambrixDesktop.exe");
        // PowerShell reads such a folder as a pattern where a path is not
        // literal, and then finds nothing in it to copy.
        const QString wrapper = QDir(stageFolder).relativeFilePath(appRoot);
        if (appRoot != stageFolder && holdsWildcard(wrapper))
            error += QStringLiteral(": папка приложения в архиве («%1») содержит символ [, ], * "
                                    "или ?, который PowerShell читает как шаблон")
                         .arg(wrapper);
        return false;
    }
    return true;
}

} // namespace
