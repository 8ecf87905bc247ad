// This user's other runs: the one installation that may run at a time
// (InstallHold), and the copies of the application that run now
// (runningAppProcesses), which are the only ones ever ended
// (endArguments, endAppCopies).
#pragma once

#include "powershell.h"
#include "product.h"
#include "thisuser.h"

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
#include <tlhelp32.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {

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

// The copies of the application that run for this user, by process id:
// what the user is asked about, and all that is ever ended.
QList<qint64> runningAppProcesses()
{
    const QString image = QLatin1String(appExecutableName);
    QList<qint64> found;
#ifdef Q_OS_WIN
    // Copies in the user's other sessions (a remote desktop beside the
    // console) hold their own unsaved work, and nobody there was asked.
    DWORD ownSession = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &ownSession))
        return found;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return found;
    PROCESSENTRY32W entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        DWORD session = 0;
        if (QString::fromWCharArray(entry.szExeFile).compare(image, Qt::CaseInsensitive) == 0 &&
            ProcessIdToSessionId(entry.th32ProcessID, &session) && session == ownSession)
            found << qint64(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
#else
    // As the taskkill stand-in finds them: this user's processes by their
    // executable's file name, in any letter case.
    const QFileInfoList processes = QDir(QStringLiteral("/proc")).entryInfoList(QDir::Dirs);
    for (const QFileInfo &process : processes) {
        bool number = false;
        const qint64 pid = process.fileName().toLongLong(&number);
        if (!number || process.ownerId() != getuid() || !isThisUsersProcess(process.fileName()))
            continue;
        QString target = QFile::symLinkTarget(process.filePath() + QLatin1String("/exe"));
        // An executable replaced on disk while it runs still counts.
        if (target.endsWith(QLatin1String(" (deleted)")))
            target.chop(10);
        if (QFileInfo(target).fileName().compare(image, Qt::CaseInsensitive) == 0)
            found << pid;
    }
#endif
    return found;
}

// taskkill's arguments that end exactly these processes. By image name it
// would end every copy of the user's, in every session, asked about or not.
QStringList endArguments(const QList<qint64> &pids)
{
    QStringList arguments{QStringLiteral("/F")};
    for (qint64 pid : pids)
        arguments << QStringLiteral("/PID") << QString::number(pid);
    return arguments;
}

// Ends the copies the user agreed to end. Whether they ended is not
// examined: a copy that stays only holds its files, which the update moves
// aside (aside.h).
void endAppCopies(const QList<qint64> &pids)
{
    if (!pids.isEmpty())
        executeProgram(systemProgram(QStringLiteral("taskkill")), endArguments(pids));
}

// One installation at a time for this user, in all of the user's sessions,
// held from the press of Install until that run ends. The hold is one the
// system ends with the process, so a killed or crashed installer never
// blocks the next one: a named mutex on Windows (abandoned when its owner
// dies), a flock() on Linux (released when the last descriptor closes, in
// the user's runtime folder, which all the user's sessions share).
// QLockFile was not taken: its stale-lock test trusts a process id, which a
// later process may have been given.
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
        // Global\ spans the sessions; the user's SID in the name keeps other
        // accounts apart. Anyone may make a Global\ name first, though: one
        // another account made (it would not admit us, or she could hold it
        // for ever) is passed over for this session's own Local\ name, so
        // she can stop nothing but the guard across sessions.
        const QString suffix = QLatin1String("TambrixSetup.Install.") + thisUserSid();
        mutex = createHold(QLatin1String("Global\\") + suffix);
        if (!mutex)
            mutex = createHold(QLatin1String("Local\\") + suffix);
        if (!mutex)
            return true;
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
    // The named mutex, made so that this user's runs can open it from any
    // session at any integrity level: the user and the system alone may use
    // it, and its label is medium (an elevated run's objects are labelled
    // high, which a later normal run could not wait on). Null when the name
    // is another account's.
    static HANDLE createHold(const QString &name)
    {
        const std::wstring native = name.toStdWString();
        const QString dacl = QStringLiteral("D:P(A;;GA;;;%1)(A;;GA;;;SY)").arg(thisUserSid());
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
                reinterpret_cast<LPCWSTR>((dacl + QLatin1String("S:(ML;;NW;;;ME)")).utf16()),
                SDDL_REVISION_1, &descriptor, nullptr) &&
            !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                reinterpret_cast<LPCWSTR>(dacl.utf16()), SDDL_REVISION_1, &descriptor, nullptr))
            descriptor = nullptr;
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        HANDLE handle = CreateMutexW(descriptor ? &attributes : nullptr, FALSE, native.c_str());
        const DWORD created = GetLastError();
        if (descriptor)
            LocalFree(descriptor);
        if (!handle || created != ERROR_ALREADY_EXISTS)
            return handle;
        // Made before: ours only when one of this user's runs made it (an
        // elevated one leaves the Administrators group as its owner).
        PSECURITY_DESCRIPTOR found = nullptr;
        QString owner;
        if (GetSecurityInfo(handle, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, nullptr, nullptr,
                            nullptr, nullptr, &found) == ERROR_SUCCESS) {
            owner = descriptorText(found, OWNER_SECURITY_INFORMATION);
            LocalFree(found);
        }
        if (ownedByTrusted(owner, thisAccount()))
            return handle;
        CloseHandle(handle);
        return nullptr;
    }

    HANDLE mutex = nullptr;
#else
    int descriptor = -1;
#endif
};

} // namespace
