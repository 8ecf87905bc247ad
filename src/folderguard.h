// Which install folders the installer accepts. Uninstall.cmd ends with
// `rd /s /q` of the whole install folder, and the copy script replaces the
// items of the install folder that share a name with the package's, so a
// folder is accepted only when every program that reads its path names the
// very same folder, and that folder is the user's own: neither a standard
// folder, nor one that holds one, nor inside the system's, a program's or
// another user's folders.
#pragma once

#include "integration.h"
#include "pipeline.h"
#include "registry.h"
#include "thisuser.h"
#include "window.h"
#include "winpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

#include <functional>

#ifdef Q_OS_WIN
#include <knownfolders.h>
#include <shlobj.h>
#else
#include <dirent.h>
#endif

namespace {

struct FolderVerdict
{
    enum class Kind {
        Fine,
        Protected,          // a root, a standard folder or one holding it
        Foreign,            // inside the system's, a program's or another user's folder
        NotAbsolute,        // relative, "C:x", "\x", "~"
        AboveRoot,          // ".." past the root
        Share,              // a share or a network drive
        RemovableDrive,     // a USB stick, a memory card, an optical disc
        UnknownDrive,       // a drive letter Windows knows no fixed drive at
        DevicePath,         // \\?\, \\.\ or \??\ spellings
        Percent,            // cmd would expand %…% in the clean-up script
        Exclamation,        // and !…! with delayed expansion on
        InvalidName,        // a name Windows cannot use
        TrailingDotOrBlank, // Windows drops them, Qt keeps them
        ReservedName,       // a device name
        CodePage,           // cmd would write another name into the clean-up script
        CodePageUnknown,    // Windows could not say how it would write it
        Unclean,            // Qt's cleaning reads the text differently
        OtherUsersFolder,   // an existing folder another user owns
    };
    Kind kind = Kind::Fine;
    QString resolved; // the folder Windows opens, in the framework's form
    QString part;     // the name at fault, or the folder it lies in
};

// Where the system keeps the user's and everyone's folders, as the system
// spells them.
struct SystemFolders
{
    QString home;     // the user's own profile
    QString profiles; // the folder that holds every user's profile
    // Refused, and so is every folder that holds one of them; folders inside
    // them are the user's to choose (Documents\Tambrix).
    QStringList standard;
    // Refused with everything inside them: they belong to Windows, to other
    // programs or to everyone.
    QStringList foreign;
};

// Builds the lists from what the system says: `env` reads an environment
// variable, `locations` are the framework's standard locations and, on
// Windows, the known folders. Kept apart from the system so that the rules
// can be checked with Windows spellings anywhere.
SystemFolders systemFoldersFrom(const QString &home, const QString &profiles,
                                const QStringList &locations,
                                const std::function<QString(const char *)> &variable,
                                const QStringList &syncRoots = {})
{
    SystemFolders folders;
    folders.home = home;
    folders.profiles = profiles;
    folders.standard = locations;
    // What the system names, and why each is refused: every base (a variable,
    // or "~" for the profile) joined with every name below it ("" for the
    // base itself).
    const struct
    {
        std::initializer_list<const char *> bases, below;
        QStringList SystemFolders::*list;
    } sources[] = {
        // They hold the user's folders and the installer's work folder.
        {{"USERPROFILE", "TEMP", "TMP"}, {""}, &SystemFolders::standard},
        // Made in the profile by Windows, Explorer, Game Bar and Photos.
        {{"~"},
         {"Saved Games", "Favorites", "Contacts", "Links", "Searches", "Music", "Videos",
          "Documents", "Downloads", "Desktop", "3D Objects", "Pictures/Screenshots",
          "Pictures/Camera Roll", "Pictures/Saved Pictures", "Videos/Captures", "AppData/LocalLow"},
         &SystemFolders::standard},
        // Per-user programs install side by side in Programs.
        {{"LOCALAPPDATA"}, {"Programs", "../LocalLow"}, &SystemFolders::standard},
        // Windows', its store apps' and the shared per-user components' own.
        {{"LOCALAPPDATA"}, {"Microsoft", "Packages", "Programs/Common"}, &SystemFolders::foreign},
        {{"APPDATA"}, {"Microsoft"}, &SystemFolders::foreign},
        // The installer's work folder: its next run removes the stage whole.
        {{"TEMP", "TMP"}, {"TambrixSetup"}, &SystemFolders::foreign},
        // Everyone's, the system's, other programs' and OneDrive's.
        {{"PUBLIC", "OneDrive", "OneDriveConsumer", "OneDriveCommercial", "ProgramData",
          "ALLUSERSPROFILE", "ProgramFiles", "ProgramFiles(x86)", "ProgramW6432",
          "CommonProgramFiles", "CommonProgramFiles(x86)", "CommonProgramW6432", "SystemRoot",
          "windir"},
         {""},
         &SystemFolders::foreign},
    };
    for (const auto &source : sources) {
        for (const char *base : source.bases) {
            QString root = qstrcmp(base, "~") == 0 ? home : variable(base);
            root.replace(QLatin1Char('\\'), QLatin1Char('/'));
            for (const char *below : source.below) {
                if (!root.isEmpty())
                    (folders.*source.list)
                        << (*below ? QDir::cleanPath(root + QLatin1Char('/') + QLatin1String(below))
                                   : root);
            }
        }
    }
    // What a sync client syncs (a SharePoint library: C:\Users\u\Org\Site -
    // Documents) is the client's and every other synced machine's.
    folders.foreign << syncRoots;
    folders.standard.removeAll(QString());
    return folders;
}

// The sync roots the cloud clients declare: each provider's MountPoint for
// this user, and every user's UserSyncRoots of the shell's sync root manager.
QStringList syncRootsFrom(const RegistryView &registry)
{
    QStringList roots;
    const QString providers = QStringLiteral("HKEY_CURRENT_USER\\Software\\SyncEngines\\Providers");
    for (const QString &provider : registry.subkeys(providers)) {
        const QString key = providers + QLatin1Char('\\') + provider;
        for (const QString &id : registry.subkeys(key)) {
            const QMap<QString, QString> values = registry.values(key + QLatin1Char('\\') + id);
            for (auto it = values.begin(); it != values.end(); ++it) {
                if (it.key().compare(QLatin1String("MountPoint"), Qt::CaseInsensitive) == 0)
                    roots << it.value();
            }
        }
    }
    const QString manager = QStringLiteral(
        "HKEY_LOCAL_"
        "MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\SyncRootManager");
    for (const QString &id : registry.subkeys(manager))
        roots << registry
                     .values(manager + QLatin1Char('\\') + id + QLatin1String("\\UserSyncRoots"))
                     .values();
    for (QString &root : roots)
        root.replace(QLatin1Char('\\'), QLatin1Char('/'));
    roots.removeAll(QString());
    return roots;
}

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

SystemFolders systemFolders()
{
    QStringList locations;
    for (const auto location :
         {QStandardPaths::HomeLocation, QStandardPaths::DesktopLocation,
          QStandardPaths::DocumentsLocation, QStandardPaths::DownloadLocation,
          QStandardPaths::PicturesLocation, QStandardPaths::MusicLocation,
          QStandardPaths::MoviesLocation, QStandardPaths::TempLocation,
          QStandardPaths::GenericDataLocation, QStandardPaths::GenericConfigLocation,
          QStandardPaths::GenericCacheLocation, QStandardPaths::ApplicationsLocation,
          QStandardPaths::RuntimeLocation, QStandardPaths::FontsLocation})
        locations << QStandardPaths::writableLocation(location);
    SystemFolders folders = systemFoldersFrom(
        QDir::cleanPath(QDir::homePath()), profilesFolder(), locations,
        [](const char *name) { return qEnvironmentVariable(name); },
        syncRootsFrom(systemRegistry()));
    // The work folder where the framework puts it, TEMP or not, and the one
    // of this user's own naming taken when that is another user's.
    const QDir temp(QStandardPaths::writableLocation(QStandardPaths::TempLocation));
    folders.foreign << temp.filePath(QStringLiteral("TambrixSetup"))
                    << temp.filePath(QStringLiteral("TambrixSetup-") + thisUserTag());
#ifdef Q_OS_WIN
    for (const KNOWNFOLDERID *id : {&FOLDERID_Profile,        &FOLDERID_Desktop,
                                    &FOLDERID_Documents,      &FOLDERID_Downloads,
                                    &FOLDERID_Pictures,       &FOLDERID_Music,
                                    &FOLDERID_Videos,         &FOLDERID_SavedGames,
                                    &FOLDERID_Favorites,      &FOLDERID_Contacts,
                                    &FOLDERID_Links,          &FOLDERID_SavedSearches,
                                    &FOLDERID_Objects3D,      &FOLDERID_Screenshots,
                                    &FOLDERID_CameraRoll,     &FOLDERID_SavedPictures,
                                    &FOLDERID_LocalAppData,   &FOLDERID_LocalAppDataLow,
                                    &FOLDERID_RoamingAppData, &FOLDERID_UserProgramFiles,
                                    &FOLDERID_StartMenu,      &FOLDERID_Programs,
                                    &FOLDERID_Startup,        &FOLDERID_SendTo,
                                    &FOLDERID_Templates,      &FOLDERID_Recent})
        folders.standard << knownFolder(*id);
    for (const KNOWNFOLDERID *id :
         {&FOLDERID_Public, &FOLDERID_PublicDesktop, &FOLDERID_PublicDocuments,
          &FOLDERID_PublicDownloads, &FOLDERID_PublicMusic, &FOLDERID_PublicPictures,
          &FOLDERID_PublicVideos, &FOLDERID_ProgramData, &FOLDERID_ProgramFiles,
          &FOLDERID_ProgramFilesX86, &FOLDERID_ProgramFilesX64, &FOLDERID_ProgramFilesCommon,
          &FOLDERID_UserProgramFilesCommon, &FOLDERID_Windows, &FOLDERID_System,
          &FOLDERID_SystemX86, &FOLDERID_SkyDrive})
        folders.foreign << knownFolder(*id);
    folders.standard.removeAll(QString());
    folders.foreign.removeAll(QString());
#endif
    return folders;
}

// Every way the system's spelling of one of its folders can name it: as
// spelt, and where it leads (a temp folder behind a link, an 8.3
// LOCALAPPDATA).
using SpellingsOf = std::function<QList<WindowsPath>(const QString &)>;

SpellingsOf fileSystemSpellings()
{
    return [](const QString &folder) {
        return QList<WindowsPath>{parseWindowsPath(folder, QDir::currentPath()),
                                  resolvedFolder(folder)};
    };
}

// Whether `folder`'s first name below `home` starts like the OneDrive
// folders ("OneDrive", "OneDrive - Contoso"): a second business account has
// no variable, so the name is what tells.
bool isInOneDrive(const WindowsPath &folder, const WindowsPath &home)
{
    return folder.parts.size() > home.parts.size() && isSameOrAncestor(home, folder) &&
           folder.parts.at(home.parts.size())
               .startsWith(QLatin1String("OneDrive"), Qt::CaseInsensitive);
}

// Folders Windows keeps at the top of every drive: the recycle bin, restore
// points and the previous installation's copy of every profile.
bool isDriveSystemFolder(const QString &name)
{
    for (const char *own : {"$Recycle.Bin", "System Volume Information", "Windows.old"}) {
        if (windowsCaseKey(name) == windowsCaseKey(QLatin1String(own)))
            return true;
    }
    return false;
}

// Judges a folder that reads the same to every program: `spellings` holds
// it as spelt and as Windows resolves it.
FolderVerdict judgeFolder(const QList<WindowsPath> &spellings, const SystemFolders &system,
                          const SpellingsOf &spellingsOf)
{
    FolderVerdict verdict;
    verdict.kind = FolderVerdict::Kind::Protected;
    for (const WindowsPath &folder : spellings) {
        if (folder.isRoot())
            return verdict;
    }
    // Each of the system's folders, as spelt and as resolved, worked out once.
    const auto spellingsOfAll = [&spellingsOf](const QStringList &folders) {
        QList<WindowsPath> all;
        for (const QString &folder : folders)
            all += spellingsOf(folder);
        return all;
    };
    const QList<WindowsPath> homes = spellingsOf(system.home);
    const QList<WindowsPath> profiles = spellingsOf(system.profiles);
    const QList<WindowsPath> foreign = spellingsOfAll(system.foreign);
    for (const WindowsPath &other : spellingsOfAll(system.standard) + foreign + profiles) {
        for (const WindowsPath &folder : spellings) {
            if (isSameOrAncestor(folder, other))
                return verdict;
        }
    }
    for (const WindowsPath &home : homes) {
        for (const WindowsPath &folder : spellings) {
            if (isInOneDrive(folder, home)) {
                WindowsPath oneDrive = folder;
                oneDrive.parts = folder.parts.mid(0, home.parts.size() + 1);
                if (oneDrive.parts.size() == folder.parts.size())
                    return verdict;
                verdict.kind = FolderVerdict::Kind::Foreign;
                verdict.part = oneDrive.text();
                return verdict;
            }
        }
    }

    verdict.kind = FolderVerdict::Kind::Foreign;
    for (const WindowsPath &folder : spellings) {
        if (!folder.parts.isEmpty() && isDriveSystemFolder(folder.parts.first())) {
            WindowsPath owner = folder;
            owner.parts = folder.parts.mid(0, 1);
            verdict.part = owner.text();
            return verdict;
        }
    }
    for (const WindowsPath &other : foreign) {
        for (const WindowsPath &folder : spellings) {
            if (isSameOrAncestor(other, folder)) {
                verdict.part = other.text();
                return verdict;
            }
        }
    }
    // Inside the profiles folder only the user's own profile is theirs. (A
    // home at the top of a drive, as /root is, has no folder of profiles.)
    for (const WindowsPath &parent : profiles) {
        for (const WindowsPath &folder : spellings) {
            if (parent.isRoot() || !isSameOrAncestor(parent, folder))
                continue;
            bool own = false;
            for (const WindowsPath &home : homes)
                own = own || isSameOrAncestor(home, folder);
            if (!own) {
                WindowsPath profile = folder;
                profile.parts = folder.parts.mid(0, parent.parts.size() + 1);
                verdict.part = profile.text();
                return verdict;
            }
        }
    }
    verdict.kind = FolderVerdict::Kind::Fine;
    return verdict;
}

#ifdef Q_OS_WIN
#ifdef TAMBRIX_WIN32_CONTRACT_SEAMS
// Lets the Windows checks hold these calls to the contract Microsoft
// documents, where wine takes more than Windows does (flags a code page does
// not allow, a drive without the backslash of its root).
int (*testWideCharToMultiByte)(UINT, DWORD, LPCWCH, int, LPSTR, int, LPCCH, LPBOOL) = nullptr;
UINT (*testGetDriveTypeW)(LPCWSTR) = nullptr;
#endif

int wideToCodePage(UINT codePage, DWORD flags, LPCWCH wide, int wideSize, LPSTR bytes,
                   int byteSize, LPBOOL usedDefault)
{
#ifdef TAMBRIX_WIN32_CONTRACT_SEAMS
    if (testWideCharToMultiByte)
        return testWideCharToMultiByte(codePage, flags, wide, wideSize, bytes, byteSize, nullptr,
                                       usedDefault);
#endif
    return WideCharToMultiByte(codePage, flags, wide, wideSize, bytes, byteSize, nullptr,
                               usedDefault);
}

// Whether cmd's `echo … > file` writes `text` into the clean-up script so
// that it reads back as the same text: no character missing from the OEM
// code page, none replaced by a look-alike. Unknown when Windows could not
// answer (a code page it cannot convert to): that says nothing of the name.
enum class CodePageAnswer { Survives, Changes, Unknown };

CodePageAnswer survivesOemCodePage(const QString &text, UINT codePage)
{
    if (text.isEmpty())
        return CodePageAnswer::Survives;
    const std::wstring wide = text.toStdWString();
    const CodePageFlags how = wideToCodePageFlags(codePage);
    BOOL usedDefault = FALSE;
    BOOL *const askUsed = how.askUsedDefault ? &usedDefault : nullptr;
    // Lone surrogates are the only input these flags refuse: the name's own
    // fault. Any other failure is the call's.
    const auto failed = [] {
        return GetLastError() == ERROR_NO_UNICODE_TRANSLATION ? CodePageAnswer::Changes
                                                              : CodePageAnswer::Unknown;
    };
    const int size =
        wideToCodePage(codePage, how.flags, wide.data(), int(wide.size()), nullptr, 0, askUsed);
    if (size <= 0)
        return failed();
    if (usedDefault)
        return CodePageAnswer::Changes;
    std::string bytes(size_t(size), '\0');
    if (wideToCodePage(codePage, how.flags, wide.data(), int(wide.size()), bytes.data(), size,
                       askUsed) != size)
        return failed();
    if (usedDefault)
        return CodePageAnswer::Changes;
    const int back = MultiByteToWideChar(codePage, how.backFlags, bytes.data(), size, nullptr, 0);
    if (back <= 0)
        return failed();
    std::wstring again(size_t(back), L'\0');
    MultiByteToWideChar(codePage, how.backFlags, bytes.data(), size, again.data(), back);
    return again == wide ? CodePageAnswer::Survives : CodePageAnswer::Changes;
}

#endif

// A per-user program belongs on a fixed local drive: a network drive may be
// another machine's C:\Users, and the medium in a removable drive may be
// another one (with its own folder of that name, which `rd /s /q` removes)
// when Apps & features runs the uninstaller. The type as GetDriveTypeW gives
// it (DRIVE_UNKNOWN 0 … DRIVE_RAMDISK 6).
[[maybe_unused]] FolderVerdict::Kind driveTypeKind(unsigned driveType)
{
    switch (driveType) {
    case 3: // DRIVE_FIXED
    case 6: // DRIVE_RAMDISK
        return FolderVerdict::Kind::Fine;
    case 4: // DRIVE_REMOTE
        return FolderVerdict::Kind::Share;
    case 2: // DRIVE_REMOVABLE
    case 5: // DRIVE_CDROM
        return FolderVerdict::Kind::RemovableDrive;
    default: // DRIVE_UNKNOWN, DRIVE_NO_ROOT_DIR
        return FolderVerdict::Kind::UnknownDrive;
    }
}

#ifdef Q_OS_WIN
// GetDriveTypeW wants the root with its backslash: "C:" alone names the
// current folder of drive C, not the drive.
unsigned driveTypeOf(const QString &driveLetter)
{
    const std::wstring root = (driveLetter + QLatin1Char('\\')).toStdWString();
#ifdef TAMBRIX_WIN32_CONTRACT_SEAMS
    if (testGetDriveTypeW)
        return testGetDriveTypeW(root.c_str());
#endif
    return GetDriveTypeW(root.c_str());
}
#endif

FolderVerdict::Kind verdictKind(FolderTextFault fault)
{
    switch (fault) {
    case FolderTextFault::None:
        break;
    case FolderTextFault::NotAbsolute:
        return FolderVerdict::Kind::NotAbsolute;
    case FolderTextFault::AboveRoot:
        return FolderVerdict::Kind::AboveRoot;
    case FolderTextFault::Share:
        return FolderVerdict::Kind::Share;
    case FolderTextFault::DevicePath:
        return FolderVerdict::Kind::DevicePath;
    case FolderTextFault::Percent:
        return FolderVerdict::Kind::Percent;
    case FolderTextFault::Exclamation:
        return FolderVerdict::Kind::Exclamation;
    case FolderTextFault::InvalidName:
        return FolderVerdict::Kind::InvalidName;
    case FolderTextFault::TrailingDotOrBlank:
        return FolderVerdict::Kind::TrailingDotOrBlank;
    case FolderTextFault::ReservedName:
        return FolderVerdict::Kind::ReservedName;
    case FolderTextFault::CodePage:
        return FolderVerdict::Kind::CodePage;
    }
    return FolderVerdict::Kind::Fine;
}

// The one check the install sequence makes before it starts. `typed` is the
// folder field's text, trimmed; the install folder is its cleaned form.
FolderVerdict checkInstallFolder(const QString &typed)
{
    FolderVerdict verdict;
    const FolderText text = readFolderText(typed, hostPathStyle);
    if (text.fault != FolderTextFault::None) {
        verdict.kind = verdictKind(text.fault);
        verdict.part = text.part;
        return verdict;
    }
    // Every later stage gets QDir::cleanPath's reading: it must be this one.
    const QString installFolder = QDir::cleanPath(typed);
    if (text.text() != installFolder) {
        verdict.kind = FolderVerdict::Kind::Unclean;
        verdict.part = installFolder;
        return verdict;
    }
    const WindowsPath spelt = parseWindowsPath(installFolder, QString());
    const WindowsPath folder = resolvedFolder(installFolder);
    verdict.resolved = folder.text();
#ifdef Q_OS_WIN
    // The drive as typed, and the drive the folder really lies on: a link or
    // junction on C: may lead onto a removable drive.
    for (const QString &root : {text.root, folder.root}) {
        if (!isDriveLetter(root))
            continue;
        if (const FolderVerdict::Kind kind = driveTypeKind(driveTypeOf(root));
            kind != FolderVerdict::Kind::Fine) {
            verdict.kind = kind;
            verdict.part = root;
            return verdict;
        }
    }
    const UINT oem = GetOEMCP();
    for (const QString &name : text.names) {
        const CodePageAnswer answer = survivesOemCodePage(name, oem);
        if (answer != CodePageAnswer::Survives) {
            verdict.kind = answer == CodePageAnswer::Changes ? FolderVerdict::Kind::CodePage
                                                             : FolderVerdict::Kind::CodePageUnknown;
            verdict.part = name;
            return verdict;
        }
    }
#endif

    // Where the existing part of the path leads: a link or junction to a
    // share or to a volume without a drive letter is refused like its text.
    if (folder.problem == WindowsPath::Problem::DevicePath) {
        verdict.kind = FolderVerdict::Kind::DevicePath;
        return verdict;
    }
    if (folder.problem != WindowsPath::Problem::None) {
        verdict.kind = folder.problem == WindowsPath::Problem::ReservedName
                           ? FolderVerdict::Kind::ReservedName
                       : folder.problem == WindowsPath::Problem::TrailingDotOrBlank
                           ? FolderVerdict::Kind::TrailingDotOrBlank
                           : FolderVerdict::Kind::InvalidName;
        verdict.part = folder.problemPart;
        return verdict;
    }
    if (folder.root.startsWith(QLatin1String("//"))) {
        verdict.kind = FolderVerdict::Kind::Share;
        return verdict;
    }
    const FolderVerdict judged =
        judgeFolder({spelt, folder}, systemFolders(), fileSystemSpellings());
    verdict.kind = judged.kind;
    verdict.part = judged.part;
    // She could swap the program behind the user's shortcuts at any time.
    if (verdict.kind == FolderVerdict::Kind::Fine &&
        folderAccess(verdict.resolved) == FolderAccess::Foreign)
        verdict.kind = FolderVerdict::Kind::OtherUsersFolder;
    return verdict;
}

// A folder offered as an example must itself be accepted, or none is given.
QString acceptedExample(const QStringList &candidates)
{
    for (const QString &candidate : candidates) {
        if (!candidate.isEmpty() && checkInstallFolder(candidate).kind == FolderVerdict::Kind::Fine)
            return candidate;
    }
    return QString();
}

QString withExample(const QString &advice, const QString &example)
{
    return example.isEmpty() ? advice + QLatin1Char('.')
                             : QStringLiteral("%1, например «%2».").arg(advice, example);
}

// What the warning box says for a refused folder.
QString refusalMessage(const QString &typed, const FolderVerdict &verdict)
{
    const QString installFolder = QDir::cleanPath(typed);
    const QString ownExample = acceptedExample({QDir::cleanPath(defaultInstallFolder())});
    const QString start = QStringLiteral("Папка «%1» не подходит для установки: ").arg(typed);
    const QString other = withExample(QStringLiteral("Укажите другую папку"), ownExample);
    switch (verdict.kind) {
    case FolderVerdict::Kind::Fine:
        break;
    case FolderVerdict::Kind::Protected: {
        QString opened = verdict.resolved;
        while (opened.endsWith(QLatin1Char('/')))
            opened.chop(1);
        QString asTyped = installFolder;
        while (asTyped.endsWith(QLatin1Char('/')))
            asTyped.chop(1);
        const bool elsewhere = windowsCaseKey(opened) != windowsCaseKey(asTyped);
        const QString base = elsewhere ? verdict.resolved : installFolder;
        const QString example =
            acceptedExample({QDir(base).filePath(QStringLiteral("Tambrix")), ownExample});
        const QString advice = withExample(QStringLiteral("Укажите отдельную папку"), example);
        if (!elsewhere)
            return start +
                   QStringLiteral("при удалении программы папка установки удаляется целиком. ") +
                   advice;
        return start +
               QStringLiteral("Windows откроет вместо неё папку «%1», а при удалении программы "
                              "папка установки удаляется целиком. ")
                   .arg(verdict.resolved) +
               advice;
    }
    case FolderVerdict::Kind::Foreign:
        return start +
               QStringLiteral("она находится в папке «%1», которая принадлежит Windows, другим "
                              "программам или другому пользователю. ")
                   .arg(verdict.part) +
               withExample(QStringLiteral("Укажите папку в своём профиле"), ownExample);
    case FolderVerdict::Kind::NotAbsolute:
        return start +
               QStringLiteral(
                   "это не полный путь, и разные программы найдут его в разных местах. ") +
               withExample(QStringLiteral("Укажите полный путь, начиная с диска"), ownExample);
    case FolderVerdict::Kind::AboveRoot:
        return start + QStringLiteral("«..» в пути ведёт выше корня диска. ") + other;
    case FolderVerdict::Kind::Share:
        return start +
               QStringLiteral("это сетевая папка или сетевой диск, а программа устанавливается "
                              "для одного пользователя на локальный диск. ") +
               withExample(QStringLiteral("Укажите папку на локальном диске"), ownExample);
    case FolderVerdict::Kind::RemovableDrive:
        return start +
               QStringLiteral("диск %1 съёмный (флешка, карта памяти или компакт-диск): при "
                              "удалении программы под этой буквой может оказаться другой "
                              "носитель, и его папка будет удалена. ")
                   .arg(verdict.part) +
               withExample(QStringLiteral("Укажите папку на локальном диске"), ownExample);
    case FolderVerdict::Kind::UnknownDrive:
        return start +
               QStringLiteral("Windows не находит под буквой %1 локального диска. ")
                   .arg(verdict.part) +
               withExample(QStringLiteral("Укажите папку на локальном диске"), ownExample);
    case FolderVerdict::Kind::DevicePath:
        return start +
               QStringLiteral("это путь к устройству Windows, а не обычный путь к папке на "
                              "диске. ") +
               other;
    case FolderVerdict::Kind::Percent:
        return start +
               QStringLiteral("знак % в пути при удалении программы будет прочитан как "
                              "переменная, и удалена может быть другая папка. ") +
               withExample(QStringLiteral("Укажите папку без знака %"), ownExample);
    case FolderVerdict::Kind::Exclamation:
        return start +
               QStringLiteral("знак ! в пути при удалении программы может быть прочитан как "
                              "переменная, и удалена может быть другая папка. ") +
               withExample(QStringLiteral("Укажите папку без знака !"), ownExample);
    case FolderVerdict::Kind::InvalidName:
        return start +
               QStringLiteral("в имени «%1» есть символ, который Windows не допускает в именах "
                              "(< > : \" | ? * или управляющий). ")
                   .arg(verdict.part) +
               other;
    case FolderVerdict::Kind::TrailingDotOrBlank:
        return start +
               QStringLiteral("имя «%1» оканчивается точкой или пробелом: Windows их отбрасывает, "
                              "и при удалении программы может быть удалена другая папка. ")
                   .arg(verdict.part) +
               withExample(QStringLiteral("Укажите имя без точки и пробела в конце"), ownExample);
    case FolderVerdict::Kind::ReservedName:
        return start +
               QStringLiteral("«%1» — имя устройства Windows, а не папки. ").arg(verdict.part) +
               other;
    case FolderVerdict::Kind::CodePage:
        return start +
               QStringLiteral("имя «%1» нельзя без искажений записать в кодовой странице системы, "
                              "и при удалении программы может быть удалена другая папка. ")
                   .arg(verdict.part) +
               other;
    case FolderVerdict::Kind::CodePageUnknown:
        return start +
               QStringLiteral("Windows не смогла проверить, как имя «%1» будет записано в "
                              "кодовой странице системы, а от этого зависит, какую папку удалит "
                              "программа удаления. ")
                   .arg(verdict.part) +
               other;
    case FolderVerdict::Kind::OtherUsersFolder:
        return start +
               QStringLiteral("её владелец — другой пользователь, и он сможет подменить файлы "
                              "программы. ") +
               withExample(QStringLiteral("Укажите папку в своём профиле"), ownExample);
    case FolderVerdict::Kind::Unclean:
        return start +
               QStringLiteral("программы Windows прочитают этот путь по-разному (например, как "
                              "«%1»). ")
                   .arg(verdict.part) +
               other;
    }
    return QString();
}

// What an existing install folder holds, as far as the question goes.
enum class FolderContent {
    Missing,
    Empty,
    Ours,       // an earlier installation: our Uninstall.cmd, byte for byte
    Theirs,     // anything else
    Unreadable, // cannot be listed: it may hold anything
};

// Whether a folder can be listed, and holds anything. Qt's listing says
// "empty" for a folder it cannot read, so the system is asked directly.
FolderContent listFolder(const QString &folder)
{
#ifdef Q_OS_WIN
    const std::wstring pattern =
        (QDir::toNativeSeparators(folder) + QLatin1String("\\*")).toStdWString();
    WIN32_FIND_DATAW found;
    HANDLE handle = FindFirstFileW(pattern.c_str(), &found);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? FolderContent::Empty
                                                      : FolderContent::Unreadable;
    FolderContent content = FolderContent::Empty;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            content = FolderContent::Theirs;
    } while (content == FolderContent::Empty && FindNextFileW(handle, &found));
    FindClose(handle);
    return content;
#else
    DIR *dir = opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return FolderContent::Unreadable;
    FolderContent content = FolderContent::Empty;
    while (const dirent *entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") {
            content = FolderContent::Theirs;
            break;
        }
    }
    closedir(dir);
    return content;
#endif
}

FolderContent folderContent(const QString &installFolder)
{
    // Nothing there, or a file where the folder should be (never replaced:
    // the copy fails and says so).
    if (!QFileInfo(installFolder).isDir())
        return FolderContent::Missing;
    const FolderContent listed = listFolder(installFolder);
    if (listed != FolderContent::Theirs)
        return listed;
    // Only our own uninstaller marks an earlier installation: a file of that
    // name written by someone else, or a folder of that name, does not.
    const QString script = QDir(installFolder).filePath(QStringLiteral("Uninstall.cmd"));
    const QFileInfo scriptInfo(script);
    const QByteArray ours(uninstallScript, int(sizeof(uninstallScript) - 1));
    if (scriptInfo.isFile() && !scriptInfo.isSymLink() && scriptInfo.size() == ours.size()) {
        QFile file(script);
        if (file.open(QIODevice::ReadOnly) && file.readAll() == ours)
            return FolderContent::Ours;
    }
    return FolderContent::Theirs;
}

// An existing folder that is not empty and holds no earlier installation:
// the copy replaces its items that share a name with the package's at once,
// and removing the program deletes the whole folder, so the user is asked
// first. The question, or nothing when none is to be asked; the default
// folder is the program's own and never asked about.
QString ownershipQuestion(const QString &installFolder)
{
    const FolderContent content = folderContent(installFolder);
    if (content != FolderContent::Theirs && content != FolderContent::Unreadable)
        return QString();
    const WindowsPath own = resolvedFolder(QDir::cleanPath(defaultInstallFolder()));
    if (isSameWindowsPath(own, resolvedFolder(installFolder)))
        return QString();
    const QString found = content == FolderContent::Unreadable
                              ? QStringLiteral("её содержимое не удалось прочитать")
                              : QStringLiteral("в ней есть файлы");
    return QStringLiteral("Папка «%1» уже существует, %2, но нет прежней установки Tambrix. "
                          "Файлы и папки в ней с теми же именами, что у файлов программы, "
                          "будут сразу заменены, а при удалении программы эта папка будет "
                          "удалена целиком, со всем её содержимым.\n\nУстановить в эту папку?")
        .arg(installFolder, found);
}

} // namespace
