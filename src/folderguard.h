// Which install folders the installer accepts. Uninstall.cmd ends with
// `rd /s /q` of the whole install folder, so a folder that is, or that
// Windows resolves to, anything but a folder of the program's own would be
// wiped the day the user removes the program.
#pragma once

#include "pipeline.h"
#include "window.h"
#include "winpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#ifdef Q_OS_WIN
#include <knownfolders.h>
#include <shlobj.h>
#endif

namespace {

struct FolderVerdict
{
    enum class Kind {
        Fine,
        Protected,    // a root, a standard folder, one holding it, or a user's profile
        Percent,      // cmd would expand it when the clean-up script runs
        InvalidName,  // a name Windows cannot use
        ReservedName, // a device name
        DevicePath,   // \\?\ or \\.\ naming neither a drive nor a share
    };
    Kind kind = Kind::Fine;
    QString resolved; // the folder Windows opens, in the framework's form
    QString part;     // the component at fault
};

#ifdef Q_OS_WIN
QString knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    QString result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path)))
        result = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    CoTaskMemFree(path);
    return result;
}
#endif

// The folder that holds every user's profile: C:/Users on Windows, /home on
// Linux. Each folder directly inside it is somebody's profile.
QString profilesFolder()
{
#ifdef Q_OS_WIN
    const QString known = knownFolder(FOLDERID_UserProfiles);
    if (!known.isEmpty())
        return known;
#endif
    return QFileInfo(QDir::cleanPath(QDir::homePath())).path();
}

// The user's and the system's standard folders, as spelt by the system.
QStringList standardFolders()
{
    QStringList folders;
    for (const auto location :
         {QStandardPaths::HomeLocation, QStandardPaths::DesktopLocation,
          QStandardPaths::DocumentsLocation, QStandardPaths::DownloadLocation,
          QStandardPaths::PicturesLocation, QStandardPaths::MusicLocation,
          QStandardPaths::MoviesLocation, QStandardPaths::TempLocation,
          QStandardPaths::GenericDataLocation, QStandardPaths::GenericConfigLocation,
          QStandardPaths::GenericCacheLocation, QStandardPaths::ApplicationsLocation,
          QStandardPaths::RuntimeLocation, QStandardPaths::FontsLocation})
        folders << QStandardPaths::writableLocation(location);

    for (const char *name : {"USERPROFILE", "LOCALAPPDATA", "APPDATA", "PUBLIC", "OneDrive",
                             "OneDriveConsumer", "OneDriveCommercial", "ProgramData",
                             "ALLUSERSPROFILE", "ProgramFiles", "ProgramFiles(x86)", "ProgramW6432",
                             "CommonProgramFiles", "SystemRoot", "windir", "TEMP", "TMP"})
        folders << qEnvironmentVariable(name);

    // Folders inside those that other programs or the system own.
    const QString home = QDir::homePath();
    for (const char *name : {"Saved Games", "Favorites", "Contacts", "Links", "Searches",
                             "OneDrive", "Pictures", "Music", "Videos", "AppData/LocalLow"})
        folders << QDir(home).filePath(QLatin1String(name));
    const QString localAppData = qEnvironmentVariable("LOCALAPPDATA");
    if (!localAppData.isEmpty()) {
        folders << QDir(localAppData).filePath(QStringLiteral("Programs"))
                << QDir(localAppData).filePath(QStringLiteral("Microsoft"))
                << QDir(QFileInfo(localAppData).path()).filePath(QStringLiteral("LocalLow"));
    }
    const QString roaming = qEnvironmentVariable("APPDATA");
    if (!roaming.isEmpty())
        folders << QDir(roaming).filePath(QStringLiteral("Microsoft"));
    const QString publicFolder = qEnvironmentVariable("PUBLIC");
    if (!publicFolder.isEmpty()) {
        for (const char *name :
             {"Desktop", "Documents", "Downloads", "Music", "Pictures", "Videos", "Libraries"})
            folders << QDir(publicFolder).filePath(QLatin1String(name));
    }

#ifdef Q_OS_WIN
    for (const KNOWNFOLDERID *id :
         {&FOLDERID_Profile,          &FOLDERID_Desktop,         &FOLDERID_Documents,
          &FOLDERID_Downloads,        &FOLDERID_Pictures,        &FOLDERID_Music,
          &FOLDERID_Videos,           &FOLDERID_SavedGames,      &FOLDERID_Favorites,
          &FOLDERID_Contacts,         &FOLDERID_Links,           &FOLDERID_SavedSearches,
          &FOLDERID_LocalAppData,     &FOLDERID_LocalAppDataLow, &FOLDERID_RoamingAppData,
          &FOLDERID_UserProgramFiles, &FOLDERID_Public,          &FOLDERID_PublicDesktop,
          &FOLDERID_PublicDocuments,  &FOLDERID_PublicDownloads, &FOLDERID_PublicMusic,
          &FOLDERID_PublicPictures,   &FOLDERID_PublicVideos,    &FOLDERID_ProgramData,
          &FOLDERID_ProgramFiles,     &FOLDERID_ProgramFilesX86, &FOLDERID_ProgramFilesCommon,
          &FOLDERID_Windows,          &FOLDERID_System,          &FOLDERID_StartMenu,
          &FOLDERID_Programs,         &FOLDERID_Startup,         &FOLDERID_SendTo,
          &FOLDERID_Templates,        &FOLDERID_Recent,          &FOLDERID_SkyDrive,
          &FOLDERID_UserProfiles})
        folders << knownFolder(*id);
#endif
    folders.removeAll(QString());
    return folders;
}

// The one check the install sequence makes before it starts: whether
// removing `installFolder` later could remove anything but the program.
FolderVerdict checkInstallFolder(const QString &installFolder)
{
    FolderVerdict verdict;
    // The clean-up script that Uninstall.cmd writes is read by cmd once more:
    // "D:\Games\%X%" with X undefined becomes "D:\Games\", the parent.
    if (installFolder.contains(QLatin1Char('%'))) {
        verdict.kind = FolderVerdict::Kind::Percent;
        return verdict;
    }

    const WindowsPath spelt = parseWindowsPath(installFolder, QDir::currentPath());
    const WindowsPath folder = resolvedFolder(installFolder);
    verdict.resolved = folder.text();
    for (const WindowsPath &path : {spelt, folder}) {
        switch (path.problem) {
        case WindowsPath::Problem::None:
            continue;
        case WindowsPath::Problem::DevicePath:
            verdict.kind = FolderVerdict::Kind::DevicePath;
            break;
        case WindowsPath::Problem::InvalidName:
            verdict.kind = FolderVerdict::Kind::InvalidName;
            break;
        case WindowsPath::Problem::ReservedName:
            verdict.kind = FolderVerdict::Kind::ReservedName;
            break;
        }
        verdict.part = path.problemPart;
        return verdict;
    }

    verdict.kind = FolderVerdict::Kind::Protected;
    if (spelt.isRoot() || folder.isRoot())
        return verdict;
    // Both spellings of each folder count: as the system gives it, and where
    // it leads (a temp folder behind a link, an 8.3 LOCALAPPDATA).
    const QString profiles = profilesFolder();
    for (const WindowsPath &parent :
         {parseWindowsPath(profiles, QDir::currentPath()), resolvedFolder(profiles)}) {
        if (isDirectChild(spelt, parent) || isDirectChild(folder, parent) ||
            isSameOrAncestor(spelt, parent) || isSameOrAncestor(folder, parent))
            return verdict;
    }
    for (const QString &spelling : standardFolders()) {
        for (const WindowsPath &standard :
             {parseWindowsPath(spelling, QDir::currentPath()), resolvedFolder(spelling)}) {
            if (isSameOrAncestor(spelt, standard) || isSameOrAncestor(folder, standard))
                return verdict;
        }
    }
    verdict.kind = FolderVerdict::Kind::Fine;
    return verdict;
}

// What the warning box says for a refused folder.
QString refusalMessage(const QString &installFolder, const FolderVerdict &verdict)
{
    switch (verdict.kind) {
    case FolderVerdict::Kind::Fine:
        break;
    case FolderVerdict::Kind::Protected: {
        QString asTyped = installFolder;
        asTyped.replace(QLatin1Char('\\'), QLatin1Char('/'));
        QString opened = verdict.resolved;
        while (opened.endsWith(QLatin1Char('/')))
            opened.chop(1);
        while (asTyped.endsWith(QLatin1Char('/')))
            asTyped.chop(1);
        const bool elsewhere = windowsCaseKey(opened) != windowsCaseKey(asTyped);
        const QString example =
            QDir(elsewhere ? verdict.resolved : installFolder).filePath(QStringLiteral("Tambrix"));
        if (!elsewhere)
            return QStringLiteral(
                       "Папка «%1» не подходит для установки: при удалении программы папка "
                       "установки удаляется целиком. Укажите отдельную папку, например «%2».")
                .arg(installFolder, example);
        return QStringLiteral("Папка «%1» не подходит для установки: Windows откроет вместо неё "
                              "папку «%2», а при удалении программы папка установки удаляется "
                              "целиком. Укажите отдельную папку, например «%3».")
            .arg(installFolder, verdict.resolved, example);
    }
    case FolderVerdict::Kind::Percent:
        return QStringLiteral("Папка «%1» не подходит для установки: знак % в пути при удалении "
                              "программы будет прочитан как переменная, и удалена может быть "
                              "другая папка. Укажите папку без знака %, например «%2».")
            .arg(installFolder, defaultInstallFolder());
    case FolderVerdict::Kind::InvalidName:
        return QStringLiteral("Папка «%1» не подходит для установки: в имени «%2» есть символ, "
                              "который Windows не допускает в именах (< > : \" | ? * или "
                              "управляющий). Укажите другую папку, например «%3».")
            .arg(installFolder, verdict.part, defaultInstallFolder());
    case FolderVerdict::Kind::ReservedName:
        return QStringLiteral("Папка «%1» не подходит для установки: «%2» — имя устройства "
                              "Windows, а не папки. Укажите другую папку, например «%3».")
            .arg(installFolder, verdict.part, defaultInstallFolder());
    case FolderVerdict::Kind::DevicePath:
        return QStringLiteral("Папка «%1» не подходит для установки: это путь к устройству "
                              "Windows, а не к папке на диске или в сетевой папке. Укажите "
                              "другую папку, например «%2».")
            .arg(installFolder, defaultInstallFolder());
    }
    return QString();
}

// An existing folder with files in it and no earlier installation: removing
// the program would delete those files too, so the user is asked first. The
// default folder is the program's own and never asked about.
bool needsOwnershipQuestion(const QString &installFolder)
{
    const QFileInfo info(installFolder);
    if (!info.isDir())
        return false;
    const QDir dir(installFolder);
    if (dir.isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System))
        return false;
    if (QFile::exists(appExecutableIn(installFolder)) ||
        QFile::exists(dir.filePath(QStringLiteral("Uninstall.cmd"))))
        return false;
    const WindowsPath own = resolvedFolder(QDir::cleanPath(defaultInstallFolder()));
    const WindowsPath chosen = resolvedFolder(installFolder);
    return !isSameWindowsPath(own, chosen);
}

QString ownershipQuestion(const QString &installFolder)
{
    return QStringLiteral("Папка «%1» уже существует, в ней есть файлы, но нет прежней установки "
                          "Tambrix. При удалении программы эта папка будет удалена целиком, "
                          "со всем её содержимым.\n\nУстановить в эту папку?")
        .arg(installFolder);
}

} // namespace
