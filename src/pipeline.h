// Installation pipeline: unpacking the package (extractZip), finding the
// application's root in the unpacked tree (resolveAppRoot), the room the
// copy needs (volumeSpace, copyNeedsBytes), the install folder made private
// (prepareInstallFolder) and the deployment into it (deployPackage).
#pragma once

#include "aside.h"
#include "nofollow.h"
#include "powershell.h"
#include "product.h"
#include "sizes.h"
#include "thisuser.h"
#include "winpaths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

#include <functional>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

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

// What a volume holds for this user (quotas honoured), and its unit of
// allocation: every file and folder takes whole clusters. Available -1: not
// known.
struct VolumeSpace
{
    QString name; // "C:", or the mount point elsewhere
    qint64 available = -1;
    qint64 blockSize = 0; // the cluster
};

#ifdef TAMBRIX_TEST_SEAMS
// Lets the tests give a volume of any size to the space checks.
std::function<VolumeSpace(const QString &)> testVolumeSpace;
#endif

VolumeSpace volumeSpace(const QString &path)
{
#ifdef TAMBRIX_TEST_SEAMS
    if (testVolumeSpace)
        return testVolumeSpace(path);
#endif
    const QStorageInfo storage(path);
    VolumeSpace space;
    if (!storage.isValid() || !storage.isReady())
        return space;
    QString root = storage.rootPath();
    space.available = storage.bytesAvailable();
    space.blockSize = storage.blockSize();
#ifdef Q_OS_WIN
    // Qt gives the sector there; NTFS allocates clusters of 4 KiB and more,
    // exFAT of up to 128 KiB.
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    const std::wstring native = QDir::toNativeSeparators(root).toStdWString();
    if (GetDiskFreeSpaceW(native.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters,
                          &clusters))
        space.blockSize = qint64(sectorsPerCluster) * bytesPerSector;
#endif
    if (isDriveLetter(root) && root.size() <= 3)
        root = root.left(2);
    space.name = QDir::toNativeSeparators(root);
    return space;
}

// How many bytes more than `available` are `needed`; 0 when they fit, and
// when either is not known (a manifest without a size, a volume that does
// not say), which must never stop an installation.
qint64 spaceShortfall(qint64 needed, qint64 available)
{
    if (needed <= 0 || available < 0 || needed <= available)
        return 0;
    return needed - available;
}

qint64 roundUpToBlocks(qint64 bytes, qint64 blockSize)
{
    return blockSize > 1 ? (bytes + blockSize - 1) / blockSize * blockSize : bytes;
}

// What the file system keeps for each file and folder besides its clusters
// (an NTFS record is 1 KiB), and once for the whole copy.
constexpr qint64 entryOverheadBytes = 1024;
constexpr qint64 copyMarginBytes = 1048576;

// The space a tree takes as the volume charges it: each file in whole
// clusters, each file and folder at least one, and its record; links lead
// elsewhere and take only their record.
qint64 treeBytes(const QString &path, qint64 blockSize)
{
    if (isLinkEntry(path))
        return entryOverheadBytes;
    const QFileInfo info(path);
    if (!info.exists())
        return 0;
    const qint64 own = entryOverheadBytes + qMax<qint64>(blockSize, 0);
    if (!info.isDir())
        return entryOverheadBytes + qMax(roundUpToBlocks(info.size(), blockSize), blockSize);
    qint64 total = own;
    for (const QFileInfo &entry : folderEntries(path))
        total += treeBytes(entry.filePath(), blockSize);
    return total;
}

// What the copy adds to the install folder's volume. The earlier items stay
// aside until it has ended whole, so none of their room counts as freed.
qint64 copyNeedsBytes(const QString &appRoot, qint64 blockSize)
{
    qint64 needed = copyMarginBytes;
    for (const QFileInfo &item : folderEntries(appRoot))
        needed += treeBytes(item.filePath(), blockSize);
    return needed;
}

QString spaceMessage(const char *text, const VolumeSpace &space, qint64 needed)
{
    return QString::fromUtf8(text).arg(space.name, formatBytes(needed),
                                       formatBytes(space.available));
}

// The install folder as this user's private folder before anything is
// written into it: a missing one is made private as it is made; an existing
// one of this user's that others may write loses the links inside it, then
// is made private. Another user's was refused before the run began; one
// that changed hands since is refused here.
bool prepareInstallFolder(const QString &installFolder, QString &error)
{
    const QString native = QDir::toNativeSeparators(installFolder);
    createPrivateFolders(installFolder);
    // What others could put into it while it was open to them, or may still
    // write (her version.dll, which Windows loads from the program's folder
    // first; her plugin folder she keeps writing into) is not the user's to
    // delete: the installation stops and names it.
    const auto othersItem = [&](const QString &theirs) {
        error = QStringLiteral("В папке установки есть %1: его владелец — другой пользователь или "
                               "в него могут писать другие, и он мог подменить файлы программы. "
                               "Установщик его не удаляет: удалите или проверьте его сами и "
                               "нажмите «Повторить».")
                    .arg(QDir::toNativeSeparators(theirs));
        return false;
    };
    const auto nothingOfOthers = [&] {
        const QString theirs = firstItemOfOthers(installFolder);
        return theirs.isEmpty() || othersItem(theirs);
    };
    switch (folderAccess(installFolder)) {
    case FolderAccess::Private:
        return nothingOfOthers();
    case FolderAccess::Shared:
        if (const QString link = removeLinksInside(installFolder); !link.isEmpty()) {
            if (!ownedByTrusted(readDescriptor(link).sddl, thisAccount()))
                return othersItem(link);
            error = QStringLiteral("Не удалось удалить ссылку %1 в папке установки. Удалите её и "
                                   "нажмите «Повторить».")
                        .arg(QDir::toNativeSeparators(link));
            return false;
        }
        if (makeFolderPrivate(installFolder))
            return nothingOfOthers();
        error = QStringLiteral("Не удалось закрыть папку установки %1 от записи другими "
                               "пользователями: они смогли бы подменить файлы программы. Укажите "
                               "другую папку или измените права на эту.")
                    .arg(native);
        return false;
    case FolderAccess::Foreign:
        error = QStringLiteral("Папка установки %1 принадлежит другому пользователю: он смог бы "
                               "подменить файлы программы. Укажите свою папку.")
                    .arg(native);
        return false;
    case FolderAccess::Missing:
    case FolderAccess::Unknown:
        break;
    }
    error = QStringLiteral("Не удалось создать папку установки %1 или проверить права на неё.")
                .arg(native);
    return false;
}

// Empties the stage, unpacks the package into it and finds the
// application's root there; false with the message otherwise.
bool unpackToStage(const QString &packageFile, const QString &stageFolder, QString &appRoot,
                   QString &error)
{
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
    if (!extractZip(packageFile, stageFolder, error) || interruptedAt("unpacked"))
        return false;
    markStage("unpacked");

    appRoot = resolveAppRoot(stageFolder);
    if (!QFile::exists(appExecutableIn(appRoot))) {
        error = QStringLiteral("В архиве нет TambrixDesktop.exe");
        return false;
    }
    return true;
}

// After the copy: an application the package wrapped in one more folder is
// moved up, and the install folder must hold the executable; otherwise the
// earlier release is put back and the run fails.
bool copiedWhole(const QString &installFolder, const QString &stageFolder, const QString &appRoot,
                 QString &error)
{
    if (!QFile::exists(appExecutableIn(installFolder))) {
        const QString nested = resolveAppRoot(installFolder);
        // Never the earlier release's own copy, aside.
        if (QFile::exists(appExecutableIn(nested)) && nested != installFolder &&
            !nested.startsWith(asideFolder(installFolder) + QLatin1Char('/')))
            executePowerShell(moveScript(nested, installFolder));
    }

    if (QFile::exists(appExecutableIn(installFolder)))
        return true;
    error = QStringLiteral("Установка завершилась без TambrixDesktop.exe");
    // PowerShell reads such a folder as a pattern where a path is not
    // literal, and then finds nothing in it to copy.
    const QString wrapper = QDir(stageFolder).relativeFilePath(appRoot);
    if (appRoot != stageFolder && holdsWildcard(wrapper))
        error += QStringLiteral(": папка приложения в архиве («%1») содержит символ [, ], * "
                                "или ?, который PowerShell читает как шаблон")
                     .arg(wrapper);
    QString undone;
    if (!putBack(installFolder, undone))
        error += QLatin1Char('\n') + undone;
    return false;
}

bool deployPackage(const QString &installFolder, const QString &packageFile,
                   const QString &workFolder, const QString &version, QString &error)
{
    const QString stageFolder = workFolder + QLatin1String("/stage-") + version;

    QString appRoot;
    if (!prepareInstallFolder(installFolder, error) ||
        !finishInterruptedUpdate(installFolder, error) || interruptedAt("prepared") ||
        !unpackToStage(packageFile, stageFolder, appRoot, error))
        return false;

    // Said before anything in the install folder changes, as the volume
    // counts; what no count foresees is undone by putting the earlier
    // release back.
    const VolumeSpace space = volumeSpace(installFolder);
    const qint64 needed = copyNeedsBytes(appRoot, space.blockSize);
    if (spaceShortfall(needed, space.available) > 0) {
        error = spaceMessage("На диске %1 недостаточно места для установки: нужно %2, свободно %3. "
                             "Установленная программа не изменена. Освободите место и нажмите "
                             "«Повторить».",
                             space, needed);
        return false;
    }
    // The installed items the package replaces go aside whole (links in them
    // as links: Windows PowerShell 5.1's Remove-Item would follow them), so
    // that the copy never deletes, and a failed copy is undone.
    QStringList names;
    for (const QFileInfo &item : folderEntries(appRoot))
        names << item.fileName();
    if (!moveAside(installFolder, names, error))
        return false;
    QString undone;
    if (interruptedAt("before the copy"))
        return false;
    if (!beginCopy(installFolder)) {
        putBack(installFolder, undone);
        error = QStringLiteral("Не удалось скопировать файлы");
        return false;
    }
    if (interruptedAt("copy begun"))
        return false;

    PowerShellRun copy;
    copy.script = copyScript(installFolder, appRoot);
    copy.timeoutMs = copyTimeoutMs;
    copy.failureMessage = QStringLiteral("Не удалось скопировать файлы");
    if (!runPowerShell(copy, error) || interruptedAt("copied")) {
        if (!putBack(installFolder, undone))
            error += QLatin1Char('\n') + undone;
        return false;
    }
    markStage("copied");

    if (!copiedWhole(installFolder, stageFolder, appRoot, error))
        return false;
    if (interruptedAt("whole"))
        return false;
    dropAside(installFolder);
    if (interruptedAt("done"))
        return false;
    removeTreeNoFollow(stageFolder);
    return true;
}

} // namespace
