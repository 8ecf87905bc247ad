// File operations that never follow a link: the link test (isLinkEntry),
// removing a link as a link (removeLinkEntry), removing a tree
// (removeTreeNoFollow), listing (folderEntries, listFolder), emptying a
// folder (emptyFolderNoFollow).
//
// Windows PowerShell 5.1 and some Qt versions walk into junctions when they
// remove a tree, so whatever the installer removes goes through here.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#ifdef Q_OS_WIN
#include <qt_windows.h>

#include <string>
#else
#include <dirent.h>
#endif

namespace {

// A link of any kind at `path` itself, never what it leads to: a symbolic
// link, and on Windows every reparse point (junctions and mount points too,
// which Qt does not report as links).
bool isLinkEntry(const QString &path)
{
#ifdef Q_OS_WIN
    const DWORD attributes = GetFileAttributesW(
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()));
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
#else
    return QFileInfo(path).isSymLink();
#endif
}

// Removes the link at `path` as a link: its target stays as it is.
bool removeLinkEntry(const QString &path)
{
#ifdef Q_OS_WIN
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    // A link to a folder (a junction among them) goes as a folder: that
    // removes the reparse point and leaves what it leads to alone.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && RemoveDirectoryW(native.c_str()))
        return true;
    // A link to a file, or one a system shows as a folder but removes as a
    // file (wine's view of a Unix symbolic link).
    return DeleteFileW(native.c_str()) != 0;
#else
    return QFile::remove(path);
#endif
}

// Everything inside a folder, hidden and system entries too.
QFileInfoList folderEntries(const QString &folder)
{
    return QDir(folder).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                      QDir::NoDotAndDotDot);
}

// Removes the tree at `path` without ever following a link inside it (Qt's
// own removal walks into junctions on some versions). True when nothing is
// left at `path`.
bool removeTreeNoFollow(const QString &path)
{
    if (isLinkEntry(path))
        return removeLinkEntry(path) && !isLinkEntry(path) && !QFileInfo::exists(path);
    const QFileInfo info(path);
    if (!info.exists())
        return true;
    if (!info.isDir()) {
        if (QFile::remove(path))
            return true;
        // A read-only file cannot be deleted on Windows until it may be written.
        const QFile::Permissions permissions = QFile::permissions(path);
        return QFile::setPermissions(path, permissions | QFile::WriteUser) && QFile::remove(path);
    }
    const QFileInfoList entries = folderEntries(path);
    bool ok = true;
    for (const QFileInfo &entry : entries)
        ok = removeTreeNoFollow(entry.filePath()) && ok;
    return QDir().rmdir(path) && ok;
}

// Empties a folder without following any link inside it; true when nothing
// is left in it.
bool emptyFolderNoFollow(const QString &folder)
{
    for (const QFileInfo &entry : folderEntries(folder))
        removeTreeNoFollow(entry.filePath());
    return folderEntries(folder).isEmpty();
}

// Whether a folder holds anything, as the system lists it.
enum class Listing { Empty, NotEmpty, Unreadable };

// Whether a folder can be listed, and holds anything. Qt's listing says
// "empty" for a folder it cannot read, so the system is asked directly.
Listing listFolder(const QString &folder)
{
#ifdef Q_OS_WIN
    const std::wstring pattern =
        (QDir::toNativeSeparators(folder) + QLatin1String("\\*")).toStdWString();
    WIN32_FIND_DATAW found;
    HANDLE handle = FindFirstFileW(pattern.c_str(), &found);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? Listing::Empty : Listing::Unreadable;
    Listing content = Listing::Empty;
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            content = Listing::NotEmpty;
    } while (content == Listing::Empty && FindNextFileW(handle, &found));
    FindClose(handle);
    return content;
#else
    DIR *dir = opendir(QFile::encodeName(folder).constData());
    if (!dir)
        return Listing::Unreadable;
    Listing content = Listing::Empty;
    while (const dirent *entry = readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..") {
            content = Listing::NotEmpty;
            break;
        }
    }
    closedir(dir);
    return content;
#endif
}

} // namespace
