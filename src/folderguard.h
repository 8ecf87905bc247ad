// Which install folders the installer accepts, and what it says of the
// others. Uninstall.cmd ends with `rd /s /q` of the whole install folder,
// and the copy script replaces the items of the install folder that share a
// name with the package's, so a folder is accepted only when every program
// that reads its path names the very same folder, and that folder is the
// user's own: neither a standard folder, nor one that holds one, nor inside
// the system's, a program's or another user's folders.
//
//   readFolderFacts     what this machine says of a typed folder (the only
//                       place that asks it, one half per platform)
//   judgeInstallFolder  the whole rule order, a pure function of the text
//                       and those facts
//   checkInstallFolder  the two together, for the install sequence
//   refusalMessage      the warning for a refused folder, one row per kind
//   ownershipQuestion   the question before installing into a folder that
//                       holds something else
#pragma once

#include "codepage.h"
#include "nofollow.h"
#include "product.h"
#include "refusals.h"
#include "registry.h"
#include "systemfolders.h"
#include "thisuser.h"
#include "winpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>
#include <QStringList>

#include <iterator>

#ifdef Q_OS_WIN
#include <knownfolders.h>
#include <shlobj.h>
#endif

namespace {

// Everything the rules decide on besides the typed text.
struct FolderFacts
{
    PathStyle style = hostPathStyle;
    QString cleaned;        // the text as Qt's QDir::cleanPath reads it on this system
    WindowsPath resolved;   // the folder Windows opens for it (8.3 names, links followed)
    SystemSpellings system; // the system's folders, in all their spellings
    // GetDriveTypeW for each drive letter ("C:"); a letter not given is fixed.
    QHash<QString, unsigned> driveTypes;
    // How the OEM code page writes each name; a name not given survives.
    QHash<QString, CodePageAnswer> oemCodePage;
    VolumeRights volume;        // of the volume the folder lies or will lie on
    DescriptorFacts descriptor; // the folder's own, when it exists
    // The folder and each folder above it up to the profile, or the root
    // outside it, with their descriptors.
    QList<ChainLink> chain;
    AccountSids me;
};

// A per-user program belongs on a fixed local drive: a network drive may be
// another machine's C:\Users, and the medium in a removable drive may be
// another one (with its own folder of that name, which `rd /s /q` removes)
// when Apps & features runs the uninstaller. By GetDriveTypeW's answer:
// unknown, no root, removable, fixed, remote, CD-ROM, RAM disk.
FolderRefusal driveTypeKind(unsigned driveType)
{
    using R = FolderRefusal;
    static const FolderRefusal kinds[] = {R::UnknownDrive, R::UnknownDrive, R::RemovableDrive,
                                          R::Fine,         R::Share,        R::RemovableDrive,
                                          R::Fine};
    return driveType < std::size(kinds) ? kinds[driveType] : R::UnknownDrive;
}

// The rule order. Which fault wins when a text has several is the order of
// these steps: the text alone, then how Qt cleans it, the drives, the code
// page, where it really leads, whose folder that is, and last what the
// volume and the folder's own descriptor say.
FolderVerdict judgeInstallFolder(const QString &typed, const FolderFacts &facts)
{
    FolderVerdict verdict;
    const auto refuse = [&verdict](FolderRefusal kind, const QString &part = QString()) {
        verdict.kind = kind;
        verdict.part = part;
        return verdict;
    };
    const WindowsPath text = readFolderText(typed, facts.style);
    if (text.problem != FolderRefusal::Fine)
        return refuse(text.problem, text.problemPart);
    // Every later stage gets QDir::cleanPath's reading: it must be this one.
    if (text.text() != facts.cleaned)
        return refuse(FolderRefusal::Unclean, facts.cleaned);
    const WindowsPath spelt = parseWindowsPath(facts.cleaned, QString());
    const WindowsPath &folder = facts.resolved;
    verdict.resolved = folder.text();
    // The drive as typed, and the drive the folder really lies on: a link or
    // junction on C: may lead onto a removable drive.
    for (const QString &root : {text.root, folder.root}) {
        if (!isDriveLetter(root))
            continue;
        const FolderRefusal kind = driveTypeKind(facts.driveTypes.value(root.toUpper(), 3));
        if (kind != FolderRefusal::Fine)
            return refuse(kind, root);
    }
    for (const QString &name : text.parts) {
        const CodePageAnswer answer = facts.oemCodePage.value(name, CodePageAnswer::Survives);
        if (answer != CodePageAnswer::Survives)
            return refuse(answer == CodePageAnswer::Changes ? FolderRefusal::CodePage
                                                            : FolderRefusal::CodePageUnknown,
                          name);
    }
    // Where the existing part of the path leads: a link or junction to a
    // share or to a volume without a drive letter is refused like its text.
    if (folder.problem != FolderRefusal::Fine)
        return refuse(folder.problem,
                      folder.problem == FolderRefusal::DevicePath ? QString() : folder.problemPart);
    if (folder.root.startsWith(QLatin1String("//")))
        return refuse(FolderRefusal::Share);
    const FolderVerdict judged = judgeFolder({spelt, folder}, facts.system);
    if (judged.kind != FolderRefusal::Fine)
        return refuse(judged.kind, judged.part);
    // Anyone who can reach such a drive could swap the program behind the
    // user's shortcuts; so could the owner of another user's folder.
    if (!facts.volume.keepsAccessRights)
        return refuse(FolderRefusal::NoAccessRights, facts.volume.fileSystem);
    if (accessOf(facts.descriptor, facts.me) == FolderAccess::Foreign)
        return refuse(FolderRefusal::OtherUsersFolder);
    // What the user checks must be what the shortcuts start: she could put a
    // folder of hers where one above stood.
    if (const QString above = replaceableLink(facts.chain, facts.me); !above.isEmpty())
        return refuse(FolderRefusal::ReplaceableAbove, above);
    return verdict;
}

// ---- Reading this machine -------------------------------------------------

#ifdef Q_OS_WIN
// GetDriveTypeW. The Windows checks put in its place one that holds the
// call to the contract Microsoft documents: wine answers for a drive without
// the backslash of its root too.
#ifdef TAMBRIX_WIN32_CONTRACT_SEAMS
auto driveTypeOfRoot = &GetDriveTypeW;
#else
const auto driveTypeOfRoot = &GetDriveTypeW;
#endif

QString knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    QString result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, KF_FLAG_DONT_VERIFY, nullptr, &path)))
        result = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    CoTaskMemFree(path);
    return result;
}

// The folder that holds every user's profile, and the known folders.
void readPlatformFolders(SystemFolders &folders)
{
    folders.profiles = knownFolder(FOLDERID_UserProfiles);
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
}

// The drives and the OEM code page, as Windows answers for this text.
void readPlatformAnswers(FolderFacts &facts, const WindowsPath &text)
{
    // GetDriveTypeW wants the root with its backslash: "C:" alone names the
    // current folder of drive C, not the drive.
    for (const QString &root : {text.root, facts.resolved.root}) {
        if (isDriveLetter(root))
            facts.driveTypes.insert(
                root.toUpper(), driveTypeOfRoot((root + QLatin1Char('\\')).toStdWString().c_str()));
    }
    const UINT oem = GetOEMCP();
    for (const QString &name : text.parts)
        facts.oemCodePage.insert(name, survivesOemCodePage(name, oem));
}
#else
void readPlatformFolders(SystemFolders &) {}
void readPlatformAnswers(FolderFacts &, const WindowsPath &) {}
#endif

SystemFolders readSystemFolders()
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
    const QString home = QDir::cleanPath(QDir::homePath());
    // Each folder directly inside the folder of profiles is somebody's profile.
    SystemFolders folders = systemFoldersFrom(
        home, QFileInfo(home).path(), locations,
        [](const char *name) { return qEnvironmentVariable(name); },
        syncRootsFrom(systemRegistry()));
    // Every work folder the installer may use: its next run removes the stage.
    const QDir temp(QStandardPaths::writableLocation(QStandardPaths::TempLocation));
    folders.foreign << temp.filePath(QLatin1String(workFolderName))
                    << temp.filePath(QLatin1String(workFolderName) + QLatin1Char('-') +
                                     thisUserTag())
                    << profileWorkFolder();
    readPlatformFolders(folders);
    if (folders.profiles.isEmpty())
        folders.profiles = QFileInfo(home).path();
    folders.standard.removeAll(QString());
    folders.foreign.removeAll(QString());
    return folders;
}

// What this machine says of a typed folder. A text that is no local
// absolute path is refused on its text alone, so nothing is asked of the
// machine for it (a share would keep the check waiting on the network).
FolderFacts readFolderFacts(const QString &typed)
{
    FolderFacts facts;
    facts.cleaned = QDir::cleanPath(typed);
    const WindowsPath text = readFolderText(typed, facts.style);
    if (text.problem != FolderRefusal::Fine)
        return facts;
    facts.resolved = resolvedFolder(facts.cleaned);
    facts.system = spelledAs(readSystemFolders(), [](const QString &folder) {
        return QList<WindowsPath>{parseWindowsPath(folder, QDir::currentPath()),
                                  resolvedFolder(folder)};
    });
    readPlatformAnswers(facts, text);
    if (facts.resolved.problem == FolderRefusal::Fine &&
        !facts.resolved.root.startsWith(QLatin1String("//"))) {
        facts.volume = volumeRightsOf(facts.resolved.text());
        facts.descriptor = readDescriptor(facts.resolved.text());
        const WindowsPath home = resolvedFolder(QDir::cleanPath(QDir::homePath()));
        facts.chain = readChain(facts.resolved.text(),
                                isSameOrAncestor(home, facts.resolved) ? home.text() : QString());
    }
    facts.me = thisAccount();
    return facts;
}

// The one check the install sequence makes before it starts. `typed` is the
// folder field's text, trimmed; the install folder is its cleaned form.
FolderVerdict checkInstallFolder(const QString &typed)
{
    return judgeInstallFolder(typed, readFolderFacts(typed));
}

// ---- What is said ---------------------------------------------------------

// A folder offered as an example must itself be accepted, or none is given.
QString acceptedExample(const QStringList &candidates)
{
    for (const QString &candidate : candidates) {
        if (!candidate.isEmpty() && checkInstallFolder(candidate).kind == FolderRefusal::Fine)
            return candidate;
    }
    return QString();
}

QString withExample(const QString &advice, const QString &example)
{
    return example.isEmpty() ? advice + QLatin1Char('.')
                             : QStringLiteral("%1, например «%2».").arg(advice, example);
}

// Why each kind is refused (%1: the verdict's part), and what to do instead;
// the default install folder follows the advice as an example.
const struct
{
    FolderRefusal kind;
    const char *reason, *advice;
} refusalWords[] = {
    {FolderRefusal::Foreign,
     "она находится в папке «%1», которая принадлежит Windows, другим программам или другому "
     "пользователю. ",
     "Укажите папку в своём профиле"},
    {FolderRefusal::NotAbsolute,
     "это не полный путь, и разные программы найдут его в разных местах. ",
     "Укажите полный путь, начиная с диска"},
    {FolderRefusal::AboveRoot, "«..» в пути ведёт выше корня диска. ", "Укажите другую папку"},
    {FolderRefusal::Share,
     "это сетевая папка или сетевой диск, а программа устанавливается для одного пользователя на "
     "локальный диск. ",
     "Укажите папку на локальном диске"},
    {FolderRefusal::RemovableDrive,
     "диск %1 съёмный (флешка, карта памяти или компакт-диск): при удалении программы под этой "
     "буквой может оказаться другой носитель, и его папка будет удалена. ",
     "Укажите папку на локальном диске"},
    {FolderRefusal::UnknownDrive, "Windows не находит под буквой %1 локального диска. ",
     "Укажите папку на локальном диске"},
    {FolderRefusal::DevicePath,
     "это путь к устройству Windows, а не обычный путь к папке на диске. ", "Укажите другую папку"},
    {FolderRefusal::Percent,
     "знак % в пути при удалении программы будет прочитан как переменная, и удалена может быть "
     "другая папка. ",
     "Укажите папку без знака %"},
    {FolderRefusal::Exclamation,
     "знак ! в пути при удалении программы может быть прочитан как переменная, и удалена может "
     "быть другая папка. ",
     "Укажите папку без знака !"},
    {FolderRefusal::InvalidName,
     "в имени «%1» есть символ, который Windows не допускает в именах (< > : \" | ? * или "
     "управляющий). ",
     "Укажите другую папку"},
    {FolderRefusal::TrailingDotOrBlank,
     "имя «%1» оканчивается точкой или пробелом: Windows их отбрасывает, и при удалении программы "
     "может быть удалена другая папка. ",
     "Укажите имя без точки и пробела в конце"},
    {FolderRefusal::ReservedName, "«%1» — имя устройства Windows, а не папки. ",
     "Укажите другую папку"},
    {FolderRefusal::CodePage,
     "имя «%1» нельзя без искажений записать в кодовой странице системы, и при удалении "
     "программы может быть удалена другая папка. ",
     "Укажите другую папку"},
    {FolderRefusal::CodePageUnknown,
     "Windows не смогла проверить, как имя «%1» будет записано в кодовой странице системы, а от "
     "этого зависит, какую папку удалит программа удаления. ",
     "Укажите другую папку"},
    {FolderRefusal::NoAccessRights,
     "она на диске с файловой системой %1, которая не хранит владельцев и права доступа: любой, "
     "у кого есть доступ к этому диску, сможет подменить файлы программы. ",
     "Укажите папку в своём профиле на системном диске"},
    {FolderRefusal::ReplaceableAbove,
     "папку «%1» может переименовать или подменить другой пользователь, и тогда ярлыки программы "
     "запустят то, что он положит на её место. ",
     "Укажите папку в своём профиле"},
    {FolderRefusal::OtherUsersFolder,
     "её владелец — другой пользователь, и он сможет подменить файлы программы. ",
     "Укажите папку в своём профиле"},
    {FolderRefusal::Unclean,
     "программы Windows прочитают этот путь по-разному (например, как «%1»). ",
     "Укажите другую папку"},
};

// A root, a standard folder or one that holds one: the example is a folder
// inside it, and where Windows opens another folder the warning says which.
QString protectedMessage(const QString &start, const QString &installFolder,
                         const FolderVerdict &verdict, const QString &ownExample)
{
    const bool elsewhere = !isSameWindowsPath(parseWindowsPath(verdict.resolved, QString()),
                                              parseWindowsPath(installFolder, QString()));
    const QString base = elsewhere ? verdict.resolved : installFolder;
    QString reason = QStringLiteral("при удалении программы папка установки удаляется целиком. ");
    if (elsewhere)
        reason = QStringLiteral("Windows откроет вместо неё папку «%1», а ").arg(verdict.resolved) +
                 reason;
    return start + reason +
           withExample(
               QStringLiteral("Укажите отдельную папку"),
               acceptedExample({QDir(base).filePath(QStringLiteral("Tambrix")), ownExample}));
}

// What the warning box says for a refused folder.
QString refusalMessage(const QString &typed, const FolderVerdict &verdict)
{
    const QString ownExample = acceptedExample({QDir::cleanPath(defaultInstallFolder())});
    const QString start = QStringLiteral("Папка «%1» не подходит для установки: ").arg(typed);
    if (verdict.kind == FolderRefusal::Protected)
        return protectedMessage(start, QDir::cleanPath(typed), verdict, ownExample);
    for (const auto &row : refusalWords) {
        if (row.kind != verdict.kind)
            continue;
        QString reason = QString::fromUtf8(row.reason);
        if (reason.contains(QLatin1String("%1")))
            reason = reason.arg(verdict.part);
        return start + reason + withExample(QString::fromUtf8(row.advice), ownExample);
    }
    return QString();
}

// What an existing install folder holds that calls for the question, in
// its words; nothing when it is missing, empty or an earlier installation.
QString contentToAskAbout(const QString &installFolder)
{
    // Nothing there, or a file where the folder should be (never replaced:
    // the copy fails and says so).
    if (!QFileInfo(installFolder).isDir())
        return QString();
    const Listing listed = listFolder(installFolder);
    if (listed != Listing::NotEmpty)
        return listed == Listing::Empty ? QString()
                                        : QStringLiteral("её содержимое не удалось прочитать");
    // Only our own uninstaller marks an earlier installation: a file of that
    // name written by someone else, or a folder of that name, does not.
    const QString script = QDir(installFolder).filePath(QLatin1String(uninstallScriptName));
    const QFileInfo scriptInfo(script);
    const QByteArray ours(uninstallScript, int(sizeof(uninstallScript) - 1));
    if (scriptInfo.isFile() && !scriptInfo.isSymLink() && scriptInfo.size() == ours.size()) {
        QFile file(script);
        if (file.open(QIODevice::ReadOnly) && file.readAll() == ours)
            return QString();
    }
    return QStringLiteral("в ней есть файлы");
}

// An existing folder that is not empty and holds no earlier installation:
// the copy replaces its items that share a name with the package's at once,
// and removing the program deletes the whole folder, so the user is asked
// first. The question, or nothing when none is to be asked; the default
// folder is the program's own and never asked about.
QString ownershipQuestion(const QString &installFolder)
{
    const QString found = contentToAskAbout(installFolder);
    if (found.isEmpty() ||
        isSameWindowsPath(resolvedFolder(QDir::cleanPath(defaultInstallFolder())),
                          resolvedFolder(installFolder)))
        return QString();
    return QStringLiteral("Папка «%1» уже существует, %2, но нет прежней установки Tambrix. "
                          "Файлы и папки в ней с теми же именами, что у файлов программы, "
                          "будут сразу заменены, а при удалении программы эта папка будет "
                          "удалена целиком, со всем её содержимым.\n\nУстановить в эту папку?")
        .arg(installFolder, found);
}

} // namespace
