// What belongs to this user alone:
//
//   accessFromDescriptor  whose a folder is, from its security descriptor as
//                         SDDL (pure); readDescriptor and thisAccount read
//                         it on each platform, folderAccess joins them
//   volumeRightsOf        whether a volume keeps access rights at all
//   makeFolderPrivate, createPrivateFolder(s)  folders nobody else can write
//   replaceableLink       a folder above another user could rename or replace
//                         (pure; readChain reads the chain)
//   firstItemOfOthers, removeLinksInside  what others left in a folder, and
//                         links out of it before its permissions change
//   thisUserTag           this user among others, in a name
//
// Another local user must not be able to steer an installation: a folder she
// can write lets her swap the package after its digest was checked, or a
// stage for a link between its check and its removal, or the installed
// program behind the user's shortcuts. So the folders the installer writes
// into are this user's own and private, made so when it creates them.
#pragma once

#include "nofollow.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStorageInfo>
#include <QString>
#include <QStringList>

#include <functional>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>
#else
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Who owns an existing folder, and who else may write into it.
enum class FolderAccess {
    Missing,
    Private, // this user's, and nobody else may write into it
    Shared,  // this user's, but others may write into it too
    Foreign, // another user's
    Unknown, // its owner or permissions could not be read
};

// This user as SDDL names accounts: the user, and the default owner of what
// the process creates (the Administrators group when it runs elevated).
struct AccountSids
{
    QString user, owner;
};

// A folder's owner and DACL as SDDL ("O:…D:…"), as Windows writes them;
// empty with `none` saying why (Missing or Unknown).
struct DescriptorFacts
{
    QString sddl;
    FolderAccess none = FolderAccess::Missing;
};

// The SIDs SDDL abbreviates the same way on every machine, with the full
// form; domain-relative ones (LA, DA, DU …) stay as they are and match only
// themselves.
QString fullSid(const QString &sid)
{
    static const char *const aliases[][2] = {
        {"SY", "S-1-5-18"}, {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"},
        {"AU", "S-1-5-11"}, {"IU", "S-1-5-4"},      {"CO", "S-1-3-0"},      {"CG", "S-1-3-1"},
        {"OW", "S-1-3-4"},  {"AN", "S-1-5-7"},      {"PS", "S-1-5-10"},     {"NS", "S-1-5-20"},
        {"LS", "S-1-5-19"}, {"SU", "S-1-5-6"},      {"RD", "S-1-5-32-555"}};
    for (const auto &alias : aliases) {
        if (sid.compare(QLatin1String(alias[0]), Qt::CaseInsensitive) == 0)
            return QLatin1String(alias[1]);
    }
    return sid.toUpper();
}

// The access mask an SDDL rights field grants: hexadecimal, or two-letter
// codes. A code this reader does not know counts as every right.
quint32 sddlRights(const QString &rights)
{
    if (rights.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        bool ok = false;
        const quint32 mask = rights.mid(2).toUInt(&ok, 16);
        return ok ? mask : 0xFFFFFFFFu;
    }
    static const struct
    {
        const char *code;
        quint32 mask;
    } codes[] = {{"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GX", 0x20000000},
                 {"RC", 0x20000},    {"SD", 0x10000},    {"WD", 0x40000},    {"WO", 0x80000},
                 {"CC", 0x1},        {"DC", 0x2},        {"LC", 0x4},        {"SW", 0x8},
                 {"RP", 0x10},       {"WP", 0x20},       {"DT", 0x40},       {"LO", 0x80},
                 {"CR", 0x100},      {"FA", 0x1F01FF},   {"FR", 0x120089},   {"FW", 0x120116},
                 {"FX", 0x1200A0},   {"KA", 0xF003F},    {"KR", 0x20019},    {"KW", 0x20006},
                 {"KX", 0x20019}};
    quint32 mask = 0;
    for (qsizetype i = 0; i + 1 < rights.size(); i += 2) {
        quint32 right = 0xFFFFFFFFu;
        for (const auto &code : codes) {
            if (rights.mid(i, 2).compare(QLatin1String(code.code), Qt::CaseInsensitive) == 0)
                right = code.mask;
        }
        mask |= right;
    }
    return rights.size() % 2 ? 0xFFFFFFFFu : mask;
}

// One section of an SDDL text ('O', 'G', 'D' or 'S'): what follows "X:" up
// to the next section, outside the entries' parentheses.
QString sddlSection(const QString &sddl, QChar which)
{
    QString found;
    QChar section;
    int depth = 0;
    for (qsizetype i = 0; i < sddl.size(); ++i) {
        const QChar c = sddl.at(i);
        if (depth == 0 && sddl.mid(i + 1, 1) == QLatin1String(":") &&
            QStringView(u"OGDS").contains(c)) {
            if (section == which)
                break;
            section = sddl.at(i++);
            continue;
        }
        depth += c == QLatin1Char('(') ? 1 : c == QLatin1Char(')') ? -1 : 0;
        if (section == which)
            found += c;
    }
    return found;
}

// Rights that let someone change what is in a folder or who may: writing,
// adding or deleting entries, and rewriting the permissions themselves
// (FILE_WRITE_DATA, FILE_APPEND_DATA, FILE_WRITE_EA, FILE_DELETE_CHILD,
// FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER, GENERIC_WRITE,
// GENERIC_ALL).
constexpr quint32 writeRights =
    0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;

// Who may own and write a folder of this user's: the user, the default owner
// of the user's processes, the system and the administrators (an elevated
// run leaves folders owned by Administrators, which stay the user's own),
// and TrustedInstaller, which owns the drive's root and Windows' own folders.
QStringList trustedSids(const AccountSids &me)
{
    return {fullSid(me.user), fullSid(me.owner), QStringLiteral("S-1-5-18"),
            QStringLiteral("S-1-5-32-544"),
            QStringLiteral("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464")};
}

bool ownedByTrusted(const QString &sddl, const AccountSids &me)
{
    const QString owner = fullSid(sddlSection(sddl, QLatin1Char('O')));
    return !owner.isEmpty() && trustedSids(me).contains(owner);
}

// Whether the DACL lets anyone but those owners (and the creator-owner
// placeholders) have one of `rights`. No DACL grants everyone everything; an
// empty one, nobody anything; entries that only deny cannot widen anything.
// `inheritOnlyToo`: whether entries that apply only to what is created
// inside count.
bool othersMay(const QString &sddl, const AccountSids &me, quint32 rights, bool inheritOnlyToo)
{
    const QString dacl = sddlSection(sddl, QLatin1Char('D'));
    if (dacl.startsWith(QLatin1String("NO_ACCESS_CONTROL")))
        return true;
    const QStringList writers = trustedSids(me)
                                << QStringLiteral("S-1-3-0") << QStringLiteral("S-1-3-4");
    const QStringList allowing = {QStringLiteral("A"), QStringLiteral("XA"), QStringLiteral("OA"),
                                  QStringLiteral("ZA")};
    for (const QString &entry : dacl.mid(dacl.indexOf(QLatin1Char('('))).split(QLatin1Char(')'))) {
        const QStringList fields = entry.mid(1).split(QLatin1Char(';'));
        if (fields.size() >= 6 && allowing.contains(fields.at(0).toUpper()) &&
            (inheritOnlyToo || !fields.at(1).contains(QLatin1String("IO"), Qt::CaseInsensitive)) &&
            (sddlRights(fields.at(2)) & rights) && !writers.contains(fullSid(fields.at(5))))
            return true;
    }
    return false;
}

// Whose a folder is, from its descriptor: a trusted owner, and nobody else
// may write (an inherit-only entry counts, since it applies to what is
// created inside).
FolderAccess accessFromDescriptor(const QString &sddl, const AccountSids &me)
{
    if (!ownedByTrusted(sddl, me))
        return FolderAccess::Foreign;
    if (!sddl.contains(QLatin1String("D:")))
        return FolderAccess::Unknown;
    return othersMay(sddl, me, writeRights, true) ? FolderAccess::Shared : FolderAccess::Private;
}

// Whether someone else could rename or replace `folder` (its descriptor)
// inside `parent` (the parent's): she owns either, may delete or re-permit
// the folder, or may delete or re-permit the parent's entries. Adding new
// entries to the parent is not enough (a drive root lets every user do
// that).
bool othersMayReplace(const QString &folder, const QString &parent, const AccountSids &me)
{
    constexpr quint32 delete_ = 0x10000, deleteChild = 0x40, repermit = 0x40000 | 0x80000,
                      all = 0x10000000;
    return (!folder.isEmpty() && (!ownedByTrusted(folder, me) ||
                                  othersMay(folder, me, delete_ | repermit | all, false))) ||
           !ownedByTrusted(parent, me) ||
           othersMay(parent, me, deleteChild | repermit | all, false);
}

FolderAccess accessOf(const DescriptorFacts &descriptor, const AccountSids &me)
{
    return descriptor.sddl.isEmpty() ? descriptor.none : accessFromDescriptor(descriptor.sddl, me);
}

// A folder and the folders above it, each with its descriptor as SDDL
// (empty: missing, to be made by the installer, private).
struct ChainLink
{
    QString path, sddl;
};

// The first folder of `chain` (a folder, then each folder above it) that
// someone else could rename or replace, and so swap for one of her own; empty
// when there is none. The first folder's own permissions do not count: the
// installer makes it private.
QString replaceableLink(const QList<ChainLink> &chain, const AccountSids &me)
{
    for (qsizetype i = 0; i + 1 < chain.size(); ++i) {
        const QString &parent = chain.at(i + 1).sddl;
        if (parent.isEmpty())
            continue;
        // A parent of hers is hers to empty: she is named.
        if (!ownedByTrusted(parent, me))
            return chain.at(i + 1).path;
        if (othersMayReplace(i == 0 ? QString() : chain.at(i).sddl, parent, me))
            return chain.at(i).path;
    }
    return QString();
}

// Whether the file system of a volume keeps who owns and may write a file:
// FAT32 and exFAT keep nothing, and anyone who can reach the drive may
// replace any file on it.
struct VolumeRights
{
    QString fileSystem;
    bool keepsAccessRights = true;
};

// Whose an existing folder is (below the platform halves that read it).
FolderAccess folderAccess(const QString &path);

#ifdef Q_OS_WIN

// A descriptor as SDDL, with the parts asked for.
QString descriptorText(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts)
{
    LPWSTR text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts,
                                                              &text, nullptr))
        return QString();
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

// One SID of this process's token (the user, or the default owner) as SDDL
// writes it in a descriptor ("LA" for the built-in administrator, not its
// full form), so that it compares with what descriptorText gives.
QString tokenSid(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, what, buffer.data(), size, &size))
        return QString();
    // TOKEN_USER and TOKEN_OWNER both begin with the SID pointer.
    const PSID sid = what == TokenUser ? reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid
                                       : reinterpret_cast<TOKEN_OWNER *>(buffer.data())->Owner;
    SECURITY_DESCRIPTOR descriptor;
    if (!IsValidSid(sid) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorOwner(&descriptor, sid, FALSE))
        return QString();
    return descriptorText(&descriptor, OWNER_SECURITY_INFORMATION).mid(2);
}

const AccountSids &thisAccount()
{
    static const AccountSids sids = [] {
        AccountSids result;
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            result.user = tokenSid(token, TokenUser);
            result.owner = tokenSid(token, TokenOwner);
            CloseHandle(token);
        }
        if (result.owner.isEmpty())
            result.owner = result.user;
        return result;
    }();
    return sids;
}

// The user's SID in its full form, for names and the private DACL.
QString thisUserSid()
{
    return fullSid(thisAccount().user);
}

DescriptorFacts readDescriptor(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    DescriptorFacts facts;
    if (GetFileAttributesW(native.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        facts.none = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                         ? FolderAccess::Missing
                         : FolderAccess::Unknown;
        return facts;
    }
    facts.none = FolderAccess::Unknown;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (thisAccount().user.isEmpty() ||
        GetNamedSecurityInfoW(native.c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS)
        return facts;
    facts.sddl = descriptorText(descriptor, parts);
    LocalFree(descriptor);
    return facts;
}

// The file system of the volume `path` lies on, and whether it keeps
// access rights (FILE_PERSISTENT_ACLS).
VolumeRights volumeRightsOf(const QString &path)
{
    VolumeRights rights;
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    wchar_t volume[MAX_PATH + 1] = {};
    wchar_t fileSystem[MAX_PATH + 1] = {};
    DWORD flags = 0;
    if (GetVolumePathNameW(native.c_str(), volume, MAX_PATH) &&
        GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, &flags, fileSystem, MAX_PATH)) {
        rights.fileSystem = QString::fromWCharArray(fileSystem);
        rights.keepsAccessRights = (flags & FILE_PERSISTENT_ACLS) != 0;
    }
    return rights;
}

// A protected DACL (nothing inherited from above): full control for the
// user, the system and the administrators, passed on to everything inside.
using LocalDescriptor = std::unique_ptr<void, decltype(&LocalFree)>;
LocalDescriptor privateDescriptor()
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring sddl = QStringLiteral("D:P(A;OICI;FA;;;%1)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)")
                                  .arg(thisUserSid())
                                  .toStdWString();
    if (thisUserSid().isEmpty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                       sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        descriptor = nullptr;
    return LocalDescriptor(descriptor, &LocalFree);
}

bool makeFolderPrivate(const QString &path)
{
    const LocalDescriptor descriptor = privateDescriptor();
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    // SetNamedSecurityInfoW also passes the new entries on to what inside
    // inherits them.
    if (!descriptor || !GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted) ||
        !present || !dacl ||
        SetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr) != ERROR_SUCCESS)
        return false;
    return folderAccess(path) == FolderAccess::Private;
}

// Makes one folder, private from its first moment; false when something
// already stands there or it cannot be made.
bool createPrivateFolder(const QString &path)
{
    const LocalDescriptor descriptor = privateDescriptor();
    if (!descriptor)
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    return CreateDirectoryW(native.c_str(), &attributes) != 0;
}

// Makes one folder with what the folder it is made in passes on.
bool createInheritingFolder(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    return CreateDirectoryW(native.c_str(), nullptr) != 0;
}

#else

// The uid of this process as Samba names Unix users (S-1-22-1-uid), and
// groups as S-1-22-2-gid.
const AccountSids &thisAccount()
{
    static const QString me =
        geteuid() == 0 ? QStringLiteral("SY") : QStringLiteral("S-1-22-1-%1").arg(geteuid());
    static const AccountSids sids{me, me};
    return sids;
}

// A folder's owner and mode bits as the descriptor Samba shows for them: the
// owner, and write for the group and for everyone where the mode gives it.
DescriptorFacts readDescriptor(const QString &path)
{
    struct stat info;
    DescriptorFacts facts;
    if (lstat(QFile::encodeName(path).constData(), &info) != 0) {
        facts.none =
            errno == ENOENT || errno == ENOTDIR ? FolderAccess::Missing : FolderAccess::Unknown;
        return facts;
    }
    // Root is the system here, as SYSTEM is on Windows.
    const QString owner =
        info.st_uid == 0 ? QStringLiteral("SY") : QStringLiteral("S-1-22-1-%1").arg(info.st_uid);
    facts.sddl = QStringLiteral("O:%1G:S-1-22-2-%2D:(A;;FA;;;%1)").arg(owner).arg(info.st_gid);
    // Write on a folder renames and deletes its entries, but for the sticky
    // bit's owners-only rule.
    const QString write = S_ISDIR(info.st_mode) && !(info.st_mode & S_ISVTX)
                              ? QStringLiteral("FWDT")
                              : QStringLiteral("FW");
    if (info.st_mode & S_IWGRP)
        facts.sddl += QStringLiteral("(A;;%1;;;S-1-22-2-%2)").arg(write).arg(info.st_gid);
    if (info.st_mode & S_IWOTH)
        facts.sddl += QStringLiteral("(A;;%1;;;WD)").arg(write);
    return facts;
}

// FAT and exFAT keep no owners or modes: the mount gives every file the same.
VolumeRights volumeRightsOf(const QString &path)
{
    QString folder = path;
    while (!QFileInfo::exists(folder) && QFileInfo(folder).path() != folder)
        folder = QFileInfo(folder).path();
    VolumeRights rights;
    rights.fileSystem = QString::fromLatin1(QStorageInfo(folder).fileSystemType());
    rights.keepsAccessRights =
        !QStringList{QStringLiteral("vfat"), QStringLiteral("msdos"), QStringLiteral("exfat"),
                     QStringLiteral("fat"), QStringLiteral("fuseblk.exfat")}
             .contains(rights.fileSystem);
    return rights;
}

// Takes write away from the group and everyone else; what the user could
// read stays readable.
bool makeFolderPrivate(const QString &path)
{
    struct stat info;
    const QByteArray native = QFile::encodeName(path);
    if (lstat(native.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        chmod(native.constData(), info.st_mode & 07755) != 0)
        return false;
    return folderAccess(path) == FolderAccess::Private;
}

bool createPrivateFolder(const QString &path)
{
    return mkdir(QFile::encodeName(path).constData(), 0700) == 0;
}

// What a folder passes on here is its own mode (a new folder gets what the
// umask leaves, which may open it to the group).
bool createInheritingFolder(const QString &path)
{
    struct stat parent;
    const QByteArray native = QFile::encodeName(path);
    return lstat(QFile::encodeName(QFileInfo(path).path()).constData(), &parent) == 0 &&
           mkdir(native.constData(), 0700) == 0 &&
           chmod(native.constData(), parent.st_mode & 02755) == 0;
}

#endif

FolderAccess folderAccess(const QString &path)
{
    return accessOf(readDescriptor(path), thisAccount());
}

// The first entry inside `folder`, its tree walked without following a
// link, for which `stop(path, isLink)` holds; empty when there is none.
QString firstEntryWhere(const QString &folder,
                        const std::function<bool(const QString &, bool)> &stop)
{
    for (const QFileInfo &entry : folderEntries(folder)) {
        const QString path = entry.filePath();
        const bool link = isLinkEntry(path);
        if (stop(path, link))
            return path;
        if (!link && entry.isDir()) {
            if (const QString inside = firstEntryWhere(path, stop); !inside.isEmpty())
                return inside;
        }
    }
    return QString();
}

// The first item inside `folder` that another user owns or may write (a
// link: that another user owns), or nothing.
QString firstItemOfOthers(const QString &folder)
{
    return firstEntryWhere(folder, [](const QString &path, bool link) {
        const DescriptorFacts descriptor = readDescriptor(path);
        return link ? !ownedByTrusted(descriptor.sddl, thisAccount())
                    : accessOf(descriptor, thisAccount()) != FolderAccess::Private;
    });
}

// Removes the links inside `folder` as links, before a change of
// permissions walks its tree: Windows passes inherited entries on through a
// junction into the folder it points at (the user's documents, another
// program's folder). The first link that stays comes back: another user's
// (not the user's to delete) or one that could not be removed.
QString removeLinksInside(const QString &folder)
{
    return firstEntryWhere(folder, [](const QString &path, bool link) {
        return link && (!ownedByTrusted(readDescriptor(path).sddl, thisAccount()) ||
                        !removeLinkEntry(path));
    });
}

// `path` and the folders above it up to `stop` (when it lies inside it) or
// the root.
QList<ChainLink> readChain(const QString &path, const QString &stop)
{
    QList<ChainLink> chain;
    for (QString folder = QDir::cleanPath(path);;) {
        chain.append({folder, readDescriptor(folder).sddl});
        const QString parent = QFileInfo(folder).path();
        if (folder.compare(stop, Qt::CaseInsensitive) == 0 || parent == folder || parent.isEmpty())
            return chain;
        folder = parent;
    }
}

// Makes `path`, private from its first moment, and every missing folder
// above it. One above made inside a private folder takes what that folder
// passes on: a missing %LOCALAPPDATA%\Programs is shared with the user's
// other programs, which expect the profile's own permissions there. One
// made in a folder others may write is private too: below a drive root it
// would inherit "Authenticated Users: Modify", and anyone could swap it.
// Folders that exist already are left as they are. True when `path` is a
// folder afterwards.
bool createPrivateFolders(const QString &path)
{
    const QString clean = QDir::cleanPath(path);
    QStringList missing;
    for (QString folder = clean; !folder.isEmpty(); folder = QFileInfo(folder).path()) {
        if (QFileInfo::exists(folder) || QFileInfo(folder).isSymLink())
            break;
        missing.prepend(folder);
        if (QFileInfo(folder).path() == folder)
            break;
    }
    for (const QString &folder : std::as_const(missing)) {
        const bool inherit =
            folder != clean && folderAccess(QFileInfo(folder).path()) == FolderAccess::Private;
        // Someone may make it first; what stands there is judged by the caller.
        if (!(inherit ? createInheritingFolder(folder) : createPrivateFolder(folder)) &&
            !QFileInfo(folder).isDir())
            return false;
    }
    return QFileInfo(clean).isDir();
}

// A short tag of this user for names beside shared ones (the uid, or the
// last part of the SID).
QString thisUserTag()
{
#ifdef Q_OS_WIN
    return thisUserSid().section(QLatin1Char('-'), -1);
#else
    return QString::number(geteuid());
#endif
}

} // namespace
