// What belongs to this user alone: folders nobody else can write, this
// user's processes, and the one installation that may run at a time.
//
// Another local user must not be able to steer an installation: a folder she
// can write lets her swap the package after its digest was checked, or a
// stage for a link between its check and its removal, or the installed
// program behind the user's shortcuts. So the folders the installer writes
// into are this user's own and private, made so when it creates them.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
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

#ifdef Q_OS_WIN

// The SIDs of this process's token: the user, and the default owner of what
// it creates (the Administrators group when it runs elevated).
struct TokenSids
{
    std::vector<BYTE> user, owner;
    bool valid() const { return !user.empty(); }
    PSID userSid() const { return PSID(const_cast<BYTE *>(user.data())); }
    PSID ownerSid() const { return PSID(const_cast<BYTE *>(owner.data())); }
};

std::vector<BYTE> tokenSid(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token, what, buffer.data(), size, &size))
        return {};
    // TOKEN_USER and TOKEN_OWNER both begin with the SID pointer.
    const PSID sid = what == TokenUser ? reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid
                                       : reinterpret_cast<TOKEN_OWNER *>(buffer.data())->Owner;
    if (!IsValidSid(sid))
        return {};
    const BYTE *begin = static_cast<const BYTE *>(sid);
    return std::vector<BYTE>(begin, begin + GetLengthSid(sid));
}

const TokenSids &thisUser()
{
    static const TokenSids sids = [] {
        TokenSids result;
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            result.user = tokenSid(token, TokenUser);
            result.owner = tokenSid(token, TokenOwner);
            CloseHandle(token);
        }
        if (result.owner.empty())
            result.owner = result.user;
        return result;
    }();
    return sids;
}

QString sidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

bool isSidText(PSID sid, const wchar_t *text)
{
    PSID known = nullptr;
    if (!ConvertStringSidToSidW(text, &known))
        return false;
    const bool same = EqualSid(sid, known) != 0;
    LocalFree(known);
    return same;
}

// The accounts a private folder may grant write to besides the user: the
// system itself, the administrators, and the creator or owner of an object
// (which is the user, for what the user creates).
bool isTrustedWriter(PSID sid)
{
    const TokenSids &me = thisUser();
    return EqualSid(sid, me.userSid()) || EqualSid(sid, me.ownerSid()) ||
           isSidText(sid, L"S-1-5-18") /* SYSTEM */ ||
           isSidText(sid, L"S-1-5-32-544") /* Administrators */ ||
           isSidText(sid, L"S-1-3-0") /* CREATOR OWNER */ ||
           isSidText(sid, L"S-1-3-4") /* OWNER RIGHTS */;
}

// Rights that let someone change what is in a folder or who may: writing,
// adding or deleting entries, and rewriting the permissions themselves.
constexpr ACCESS_MASK writeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                    FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                    WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

FolderAccess folderAccess(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                   ? FolderAccess::Missing
                   : FolderAccess::Unknown;
    const TokenSids &me = thisUser();
    if (!me.valid())
        return FolderAccess::Unknown;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(native.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return FolderAccess::Unknown;
    const std::unique_ptr<void, decltype(&LocalFree)> freeDescriptor(descriptor, &LocalFree);
    if (!owner || !(EqualSid(owner, me.userSid()) || EqualSid(owner, me.ownerSid())))
        return FolderAccess::Foreign;
    // No DACL at all grants everyone everything.
    if (!dacl)
        return FolderAccess::Shared;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void *entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            return FolderAccess::Unknown;
        const auto *header = static_cast<const ACE_HEADER *>(entry);
        // Entries that only deny cannot widen anything; an inherit-only entry
        // still counts, since it applies to what is created inside.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
            header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
            continue;
        const auto *allowed = static_cast<const ACCESS_ALLOWED_ACE *>(entry);
        const PSID sid = PSID(const_cast<DWORD *>(&allowed->SidStart));
        if ((allowed->Mask & writeRights) && !isTrustedWriter(sid))
            return FolderAccess::Shared;
    }
    return FolderAccess::Private;
}

// A protected DACL (nothing inherited from above): full control for the
// user, the system and the administrators, passed on to everything inside.
struct PrivateDescriptor
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PrivateDescriptor()
    {
        const QString user = sidText(thisUser().userSid());
        if (user.isEmpty())
            return;
        const std::wstring sddl =
            QStringLiteral("D:P(A;OICI;FA;;;%1)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)")
                .arg(user)
                .toStdWString();
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &descriptor, nullptr))
            descriptor = nullptr;
    }
    ~PrivateDescriptor() { LocalFree(descriptor); }
    PrivateDescriptor(const PrivateDescriptor &) = delete;
    PrivateDescriptor &operator=(const PrivateDescriptor &) = delete;
    PACL dacl() const
    {
        BOOL present = FALSE, defaulted = FALSE;
        PACL acl = nullptr;
        if (!descriptor || !GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted))
            return nullptr;
        return present ? acl : nullptr;
    }
};

bool makeFolderPrivate(const QString &path)
{
    const PrivateDescriptor privateAccess;
    PACL dacl = privateAccess.dacl();
    if (!dacl)
        return false;
    std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    // SetNamedSecurityInfoW also passes the new entries on to what inside
    // inherits them.
    if (SetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr) != ERROR_SUCCESS)
        return false;
    return folderAccess(path) == FolderAccess::Private;
}

// Makes one folder, private from its first moment; false when something
// already stands there or it cannot be made.
bool createPrivateFolder(const QString &path)
{
    const PrivateDescriptor privateAccess;
    if (!privateAccess.descriptor)
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, privateAccess.descriptor, FALSE};
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    return CreateDirectoryW(native.c_str(), &attributes) != 0;
}

#else

FolderAccess folderAccess(const QString &path)
{
    struct stat info;
    if (lstat(QFile::encodeName(path).constData(), &info) != 0)
        return errno == ENOENT || errno == ENOTDIR ? FolderAccess::Missing : FolderAccess::Unknown;
    if (info.st_uid != geteuid())
        return FolderAccess::Foreign;
    return (info.st_mode & (S_IWGRP | S_IWOTH)) ? FolderAccess::Shared : FolderAccess::Private;
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

#endif

// Makes `path` and every missing folder above it, each private as it is
// made, so that nobody can put anything into them or swap them in the
// moment after. Folders that exist already are left as they are. True when
// `path` is a folder afterwards.
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
        // Someone may make it first; what stands there is judged by the caller.
        if (!createPrivateFolder(folder) && !QFileInfo(folder).isDir())
            return false;
    }
    return QFileInfo(clean).isDir();
}

// A short tag of this user for names beside shared ones (the uid, or the
// last part of the SID).
QString thisUserTag()
{
#ifdef Q_OS_WIN
    const QString sid = sidText(thisUser().userSid());
    return sid.section(QLatin1Char('-'), -1);
#else
    return QString::number(geteuid());
#endif
}

#ifndef Q_OS_WIN
// The value of one variable in another process's environment (readable for
// this uid's processes), or nothing.
QByteArray processVariable(const QString &pid, const QByteArray &name)
{
    QFile file(QLatin1String("/proc/") + pid + QLatin1String("/environ"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray prefix = name + '=';
    for (const QByteArray &entry : file.readAll().split('\0')) {
        if (entry.startsWith(prefix))
            return entry.mid(prefix.size());
    }
    return QByteArray();
}

// Whether a process of this uid belongs to this user as the stand-ins see
// users: the same HOME. Several users (two test runs, a developer's session
// beside CI) may share one uid here; on Windows the session tells instead.
bool isThisUsersProcess(const QString &pid)
{
    const QByteArray home = qgetenv("HOME");
    return home.isEmpty() || processVariable(pid, "HOME") == home;
}
#endif

// One installation at a time for this user, held from the press of Install
// until that run ends. The hold is one the system ends with the process, so
// a killed or crashed installer never blocks the next one: a named mutex on
// Windows (abandoned when its owner dies), a flock() on Linux (released when
// the last descriptor closes). QLockFile was not taken: its stale-lock test
// trusts a process id, which a later process may have been given.
class InstallHold
{
public:
    InstallHold() = default;
    ~InstallHold() { release(); }
    InstallHold(const InstallHold &) = delete;
    InstallHold &operator=(const InstallHold &) = delete;

    // False when another installer of this user holds it. A hold that cannot
    // be set up at all (no place for it) does not stop the installation.
    bool acquire()
    {
#ifdef Q_OS_WIN
        // Local\ is this session's namespace; the user's SID in the name
        // keeps another account run in the same session apart.
        const std::wstring name =
            (QLatin1String("Local\\TambrixSetup.Install.") + sidText(thisUser().userSid()))
                .toStdWString();
        mutex = CreateMutexW(nullptr, FALSE, name.c_str());
        if (!mutex)
            return GetLastError() != ERROR_ACCESS_DENIED;
        const DWORD waited = WaitForSingleObject(mutex, 0);
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
            return true;
        CloseHandle(mutex);
        mutex = nullptr;
        return false;
#else
        const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
        if (runtime.isEmpty())
            return true;
        // Close-on-exec: the installed program started at the end must not
        // carry the hold on after the installer has gone.
        descriptor = open(
            QFile::encodeName(runtime + QLatin1String("/TambrixSetup.install.lock")).constData(),
            O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (descriptor < 0)
            return true;
        if (flock(descriptor, LOCK_EX | LOCK_NB) == 0)
            return true;
        const bool held = errno == EWOULDBLOCK;
        ::close(descriptor);
        descriptor = -1;
        return !held;
#endif
    }

    void release()
    {
#ifdef Q_OS_WIN
        if (mutex) {
            ReleaseMutex(mutex);
            CloseHandle(mutex);
            mutex = nullptr;
        }
#else
        if (descriptor >= 0) {
            ::close(descriptor);
            descriptor = -1;
        }
#endif
    }

private:
#ifdef Q_OS_WIN
    HANDLE mutex = nullptr;
#else
    int descriptor = -1;
#endif
};

} // namespace
