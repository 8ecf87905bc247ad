// Whose folder a path is: the system's folders from the environment, the
// standard locations and the sync roots (systemFoldersFrom, syncRootsFrom),
// each in all its spellings (spelledAs), and the judgement of a folder
// against them (judgeFolder): a root, a standard folder or one that holds
// one is Protected; inside Windows', a program's, OneDrive's or another
// user's folder is Foreign. Pure: the machine is read in folderguard.h.
#pragma once

#include "product.h"
#include "refusals.h"
#include "registry.h"
#include "winpaths.h"

#include <QDir>
#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>

namespace {

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
        {{"TEMP", "TMP"}, {workFolderName}, &SystemFolders::foreign},
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

// The system's folders, each in every spelling that names it: as spelt,
// and where it leads (a temp folder behind a link, an 8.3 LOCALAPPDATA).
struct SystemSpellings
{
    QList<WindowsPath> homes, profiles, standard, foreign;
};

// `spellingsOf` gives the spellings of one folder.
SystemSpellings spelledAs(const SystemFolders &system,
                          const std::function<QList<WindowsPath>(const QString &)> &spellingsOf)
{
    SystemSpellings spelled;
    spelled.homes = spellingsOf(system.home);
    spelled.profiles = spellingsOf(system.profiles);
    for (const QString &folder : system.standard)
        spelled.standard += spellingsOf(folder);
    for (const QString &folder : system.foreign)
        spelled.foreign += spellingsOf(folder);
    return spelled;
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
    return QStringList{QStringLiteral("$RECYCLE.BIN"), QStringLiteral("SYSTEM VOLUME INFORMATION"),
                       QStringLiteral("WINDOWS.OLD")}
        .contains(windowsCaseKey(name));
}

// Judges a folder that reads the same to every program: `spellings` holds
// it as spelt and as Windows resolves it.
FolderVerdict judgeFolder(const QList<WindowsPath> &spellings, const SystemSpellings &system)
{
    FolderVerdict verdict;
    // Refused, naming the first `names` names of `folder` (nothing for a
    // protected one: the warning names the typed folder).
    const auto refuse = [&verdict](FolderRefusal kind, const WindowsPath &folder = {},
                                   qsizetype names = 0) {
        WindowsPath part = folder;
        part.parts = folder.parts.mid(0, names);
        verdict.kind = kind;
        verdict.part = part.text();
        return verdict;
    };
    const QList<WindowsPath> held = system.standard + system.foreign + system.profiles;
    for (const WindowsPath &folder : spellings) {
        if (folder.isRoot() || std::any_of(held.begin(), held.end(), [&](const auto &other) {
                return isSameOrAncestor(folder, other);
            }))
            return refuse(FolderRefusal::Protected);
    }
    for (const WindowsPath &home : system.homes) {
        for (const WindowsPath &folder : spellings) {
            const qsizetype names = home.parts.size() + 1;
            if (isInOneDrive(folder, home))
                return folder.parts.size() == names ? refuse(FolderRefusal::Protected)
                                                    : refuse(FolderRefusal::Foreign, folder, names);
        }
    }
    // No spelling is a root from here on.
    for (const WindowsPath &folder : spellings) {
        if (isDriveSystemFolder(folder.parts.first()))
            return refuse(FolderRefusal::Foreign, folder, 1);
    }
    for (const WindowsPath &other : system.foreign) {
        for (const WindowsPath &folder : spellings) {
            if (isSameOrAncestor(other, folder))
                return refuse(FolderRefusal::Foreign, other, other.parts.size());
        }
    }
    // Inside the profiles folder only the user's own profile is theirs. (A
    // home at the top of a drive, as /root is, has no folder of profiles.)
    for (const WindowsPath &parent : system.profiles) {
        for (const WindowsPath &folder : spellings) {
            const bool own =
                std::any_of(system.homes.begin(), system.homes.end(),
                            [&](const auto &home) { return isSameOrAncestor(home, folder); });
            if (!parent.isRoot() && isSameOrAncestor(parent, folder) && !own)
                return refuse(FolderRefusal::Foreign, folder, parent.parts.size() + 1);
        }
    }
    return verdict;
}

} // namespace
