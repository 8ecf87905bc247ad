// How Windows reads a path, and which names it cannot use: the one name
// check (fileNameComponentFault, refusalOfName), the reading of a typed
// install folder (readFolderText), paths split as GetFullPathNameW does
// (parseWindowsPath), compared as Windows compares them (isSameOrAncestor,
// windowsCaseKey) and resolved to the folder Windows really opens
// (resolvedFolder: 8.3 names and links, through Win32's final path on
// Windows and the canonical path elsewhere), and spellings free of
// PowerShell's wildcards (wildcardFreeFolder). Uninstall.cmd removes the
// install folder with `rd /s /q`, so comparing spellings the way Windows
// compares folders is what keeps a user's data safe.
#pragma once

#include "codepage.h"
#include "refusals.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <functional>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {

// A path as Windows resolves it: a root and the components below it.
struct WindowsPath
{
    // "C:", "//server/share" (or "//server" alone), or "/" for a POSIX root.
    QString root;
    QStringList parts;
    // DevicePath for \\?\ or \\.\ naming neither a drive nor a share;
    // a name's fault; TrailingDotOrBlank only where names are read literally
    // (a final path, \\?\), as any other reader would open another folder;
    // for a typed folder, any refusal of its text alone.
    FolderRefusal problem = FolderRefusal::Fine;
    QString problemPart; // the component (or the text) at fault

    bool isRoot() const { return parts.isEmpty(); }
    QString text() const
    {
        if (root == QLatin1String("/"))
            return root + parts.join(QLatin1Char('/'));
        if (parts.isEmpty())
            return root.size() == 2 ? root + QLatin1Char('/') : root;
        return root + QLatin1Char('/') + parts.join(QLatin1Char('/'));
    }
};

bool isDriveLetter(const QString &text)
{
    return text.size() >= 2 && text.at(1) == QLatin1Char(':') && text.at(0).unicode() < 128 &&
           text.at(0).isLetter();
}

// Windows names devices in every folder: "C:\Apps\NUL" is the NUL device and
// "COM1.txt" is COM1. The base name counts up to the first dot, without the
// blanks before it; superscript digits count like plain ones.
bool isReservedDeviceName(const QString &component)
{
    QString base = component.section(QLatin1Char('.'), 0, 0);
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    base = base.toUpper();
    if (QStringList{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                    QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")}
            .contains(base))
        return true;
    return base.size() == 4 &&
           (base.startsWith(QLatin1String("COM")) || base.startsWith(QLatin1String("LPT"))) &&
           QStringView(u"123456789\u00B9\u00B2\u00B3").contains(base.at(3));
}

// Why a text cannot be one name in a Windows path: the one check that every
// reader uses (the folder's text, a final path, a release version), in this
// order. A release version becomes the package's file name and the stage
// folder's name, and Windows PowerShell 5.1's Expand-Archive reads its
// destination as a wildcard pattern, so a version refuses brackets as well;
// a folder may hold them.
enum class NameFault {
    None,
    Separator,          // / or \ would leave the folder
    Control,            // U+0000 to U+001F
    ForbiddenCharacter, // < > : " | ? *
    Bracket,            // [ or ], where refused
    TrailingDotOrBlank, // Windows drops them, so two names would meet
    DeviceName,         // CON, NUL, COM1.txt …
};

NameFault fileNameComponentFault(const QString &name, bool refuseBrackets = false)
{
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return NameFault::Separator;
    if (std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() < 0x20; }))
        return NameFault::Control;
    // ':' also stops "folder::$INDEX_ALLOCATION", another name of the folder.
    if (std::any_of(name.begin(), name.end(),
                    [](QChar c) { return QStringView(u"<>:\"|?*").contains(c); }))
        return NameFault::ForbiddenCharacter;
    if (refuseBrackets && (name.contains(QLatin1Char('[')) || name.contains(QLatin1Char(']'))))
        return NameFault::Bracket;
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return NameFault::TrailingDotOrBlank;
    if (isReservedDeviceName(name))
        return NameFault::DeviceName;
    return NameFault::None;
}

// A name's fault as a folder's refusal. A reader has split the path at its
// separators already ("\\" left is a plain character where the host spells
// paths with "/"), and brackets are a version's fault only.
FolderRefusal refusalOfName(NameFault fault)
{
    if (fault == NameFault::TrailingDotOrBlank)
        return FolderRefusal::TrailingDotOrBlank;
    if (fault == NameFault::DeviceName)
        return FolderRefusal::ReservedName;
    return fault == NameFault::Control || fault == NameFault::ForbiddenCharacter
               ? FolderRefusal::InvalidName
               : FolderRefusal::Fine;
}

// How a reader takes the names of a path: as they stand (behind \\?\, or a
// final path); with "." and ".." resolved, as typed otherwise (an install
// folder: trailing dots and blanks are refused later); or also trimmed of
// them, as Windows opens a last name ("C:\Users\u." opens "u"). Only the
// system's own folders are trimmed everywhere, which can only make more
// folders count as the same.
enum class NameReading { Literal, Typed, Trimmed };

// Appends the names of `rest` below `path`; false when ".." would climb
// above the root (where it stays). Only "." and ".." themselves are
// resolved: ".. " is a name.
bool appendNames(WindowsPath &path, const QString &rest, NameReading reading)
{
    bool belowRoot = true;
    for (QString piece : rest.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (reading != NameReading::Literal && piece == QLatin1String("."))
            continue;
        if (reading != NameReading::Literal && piece == QLatin1String("..")) {
            belowRoot = belowRoot && !path.parts.isEmpty();
            if (!path.parts.isEmpty())
                path.parts.removeLast();
            continue;
        }
        while (reading == NameReading::Trimmed &&
               (piece.endsWith(QLatin1Char('.')) || piece.endsWith(QLatin1Char(' '))))
            piece.chop(1);
        if (!piece.isEmpty())
            path.parts << piece;
    }
    return belowRoot;
}

// Splits a path into root and components the way GetFullPathNameW does:
// either separator; \\?\, \\.\ and \??\ prefixes removed; "." and ".."
// resolved (never above the root); trailing dots and blanks dropped. A
// relative path, or one relative to a drive or to the current root, is taken
// against `currentDir` (a resolved absolute path).
WindowsPath parseWindowsPath(const QString &input, const QString &currentDir, bool literal = false)
{
    QString path = input;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const WindowsPath current =
        currentDir.isEmpty() ? WindowsPath() : parseWindowsPath(currentDir, QString());
    WindowsPath result;
    QString rest;

    // Behind \\?\ Windows takes every name as it stands: "." and ".." are
    // names, and trailing dots and blanks stay.
    const bool devicePrefix = path.startsWith(QLatin1String("//?/")) ||
                              path.startsWith(QLatin1String("//./")) ||
                              path.startsWith(QLatin1String("/?\?/"));
    if (devicePrefix) {
        literal = literal || path.at(2) == QLatin1Char('?');
        const QString device = path.mid(4);
        if (isDriveLetter(device) && (device.size() == 2 || device.at(2) == QLatin1Char('/'))) {
            path = device;
        } else if (device.startsWith(QLatin1String("UNC/"), Qt::CaseInsensitive)) {
            path = QLatin1String("//") + device.mid(4);
        } else {
            result.root = QLatin1String("//?/") + device.section(QLatin1Char('/'), 0, 0);
            result.problem = FolderRefusal::DevicePath;
            result.problemPart = input;
            return result;
        }
    }

    if (path.startsWith(QLatin1String("//"))) {
        // \\server\share is the root of a share, as C:\ is of a drive.
        const QStringList pieces = path.mid(2).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        result.root = QLatin1String("//") + pieces.value(0);
        if (pieces.size() > 1)
            result.root += QLatin1Char('/') + pieces.at(1);
        rest = pieces.mid(2).join(QLatin1Char('/'));
    } else if (isDriveLetter(path)) {
        result.root = path.left(2).toUpper();
        rest = path.mid(2);
        // "C:Apps" is relative to the current folder of drive C.
        if (!rest.startsWith(QLatin1Char('/')) && current.root == result.root)
            result.parts = current.parts;
    } else if (path.startsWith(QLatin1Char('/'))) {
        // The root of the current drive, or a POSIX root where there are none.
        result.root = current.root.isEmpty() ? QStringLiteral("/") : current.root;
        rest = path;
    } else {
        result = current;
        if (result.root.isEmpty())
            result.root = QStringLiteral("/");
        rest = path;
    }

    appendNames(result, rest, literal ? NameReading::Literal : NameReading::Trimmed);

    for (const QString &component : std::as_const(result.parts)) {
        result.problem = refusalOfName(fileNameComponentFault(component));
        if (result.problem != FolderRefusal::Fine) {
            result.problemPart = component;
            break;
        }
    }
    return result;
}

// Windows compares names by upper-casing each UTF-16 unit with one fixed
// table (no locale, no multi-character mappings).
QString windowsCaseKey(const QString &text)
{
    QString key = text;
    for (QChar &c : key)
        c = c.toUpper();
    return key;
}

// How the host spells an absolute path: "C:\..." on Windows, "/..." on the
// systems the tests and the demo run on.
enum class PathStyle { Windows, Posix };

#ifdef Q_OS_WIN
constexpr PathStyle hostPathStyle = PathStyle::Windows;
#else
constexpr PathStyle hostPathStyle = PathStyle::Posix;
#endif

// Reads the folder field's text (already trimmed) the way every reader must
// agree on: Qt (cleanPath, mkpath), the Win32 path functions, PowerShell
// (-LiteralPath, Join-Path) and cmd, which reads the clean-up script back
// from the OEM code page. Only an absolute local path is accepted: a drive
// letter, a colon and a separator (or "/" on other systems), then names that
// each reader keeps as they are; its text() is then QDir::cleanPath's form.
WindowsPath readFolderText(const QString &typed, PathStyle style)
{
    WindowsPath result;
    auto fault = [&result](FolderRefusal f, const QString &part) {
        result.problem = f;
        result.problemPart = part;
        return result;
    };
    // cmd reads the whole clean-up line, drive and separators included.
    if (typed.contains(QLatin1Char('%')))
        return fault(FolderRefusal::Percent, typed);
    if (typed.contains(QLatin1Char('!')))
        return fault(FolderRefusal::Exclamation, typed);

    const bool windows = style == PathStyle::Windows;
    QString path = typed;
    if (windows) {
        path.replace(QLatin1Char('\\'), QLatin1Char('/'));
        if (path.startsWith(QLatin1String("/?\?/")))
            return fault(FolderRefusal::DevicePath, typed);
    }
    if (path.startsWith(QLatin1String("//"))) {
        const bool device =
            (path.startsWith(QLatin1String("//?/")) || path.startsWith(QLatin1String("//./"))) &&
            !path.mid(4).startsWith(QLatin1String("UNC/"), Qt::CaseInsensitive);
        return fault(device ? FolderRefusal::DevicePath : FolderRefusal::Share, typed);
    }
    if (windows ? !isDriveLetter(path) || path.mid(2, 1) != QLatin1String("/")
                : !path.startsWith(QLatin1Char('/')))
        return fault(FolderRefusal::NotAbsolute, typed);
    result.root = windows ? path.left(2) : QStringLiteral("/");
    if (!appendNames(result, path.mid(windows ? 3 : 1), NameReading::Typed))
        return fault(FolderRefusal::AboveRoot, typed);
    for (const QString &name : std::as_const(result.parts)) {
        if (const FolderRefusal refusal = refusalOfName(fileNameComponentFault(name));
            refusal != FolderRefusal::Fine)
            return fault(refusal, name);
        // A lone surrogate has no form in any code page.
        const QList<uint> characters = name.toUcs4();
        if (!name.isValidUtf16() ||
            std::any_of(characters.begin(), characters.end(), changesInCodePage))
            return fault(FolderRefusal::CodePage, name);
    }
    return result;
}

// Whether `folder` is `other` or one of the folders that contain it.
bool isSameOrAncestor(const WindowsPath &folder, const WindowsPath &other)
{
    if (windowsCaseKey(folder.root) != windowsCaseKey(other.root) ||
        folder.parts.size() > other.parts.size())
        return false;
    for (qsizetype i = 0; i < folder.parts.size(); ++i) {
        if (windowsCaseKey(folder.parts.at(i)) != windowsCaseKey(other.parts.at(i)))
            return false;
    }
    return true;
}

bool isSameWindowsPath(const WindowsPath &a, const WindowsPath &b)
{
    return a.parts.size() == b.parts.size() && isSameOrAncestor(a, b);
}

// What the file system knows of a path: its final path (8.3 names expanded,
// links and junctions followed), or nothing when it cannot say (a missing
// path among them).
using FinalPathOf = std::function<QString(const QString &)>;

// The folder Windows really opens for `path`: the longest prefix with a
// final path is replaced by it and the rest is kept as spelt, since a folder
// that does not exist yet will be created under exactly that name.
WindowsPath resolveWindowsPath(const QString &path, const QString &currentDir,
                               const FinalPathOf &finalPathOf)
{
    const WindowsPath spelt = parseWindowsPath(path, currentDir);
    if (spelt.problem != FolderRefusal::Fine)
        return spelt;
    for (qsizetype existing = spelt.parts.size(); existing >= 0; --existing) {
        WindowsPath prefix = spelt;
        prefix.parts = spelt.parts.mid(0, existing);
        const QString finalText = finalPathOf(prefix.text());
        if (finalText.isEmpty())
            continue;
        // A final path names the folder literally, as Windows opens it (a
        // canonical path elsewhere holds no "." or ".." to resolve either).
        WindowsPath resolved = parseWindowsPath(finalText, currentDir, true);
        if (resolved.problem != FolderRefusal::Fine)
            return resolved;
        resolved.parts += spelt.parts.mid(existing);
        return resolved;
    }
    return spelt;
}

#ifdef Q_OS_WIN

// Calls a Win32 function that fills a wide buffer and tells the size it needs.
template <typename Call> QString wideResult(Call call)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 3; ++attempt) {
        const DWORD n = call(buffer.data(), DWORD(buffer.size()));
        if (n == 0)
            return QString();
        if (n < buffer.size())
            return QString::fromWCharArray(buffer.data(), int(n));
        buffer.assign(n + 1, L'\0');
    }
    return QString();
}

QString win32FullPath(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    return wideResult([&](wchar_t *out, DWORD size) {
        return GetFullPathNameW(native.c_str(), size, out, nullptr);
    });
}

// GetLongPathNameW expands 8.3 names; GetFinalPathNameByHandleW then follows
// symbolic links and junctions to the folder that is really opened.
QString win32FinalPath(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const QString longName = wideResult(
        [&](wchar_t *out, DWORD size) { return GetLongPathNameW(native.c_str(), out, size); });
    const std::wstring target =
        (longName.isEmpty() ? QDir::toNativeSeparators(path) : longName).toStdWString();
    HANDLE handle =
        CreateFileW(target.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return longName;
    const QString finalName = wideResult([&](wchar_t *out, DWORD size) {
        return GetFinalPathNameByHandleW(handle, out, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    });
    CloseHandle(handle);
    return finalName.isEmpty() ? longName : finalName;
}

// The folder Windows opens for `path`, from the Win32 path functions.
WindowsPath resolvedFolder(const QString &path)
{
    const QString full = win32FullPath(path);
    return resolveWindowsPath(full.isEmpty() ? path : full, QDir::currentPath(), &win32FinalPath);
}

#else

WindowsPath resolvedFolder(const QString &path)
{
    return resolveWindowsPath(path, QDir::currentPath(), [](const QString &path) {
        return QFileInfo(path).canonicalFilePath();
    });
}

#endif

// PowerShell reads [ ] * ? as a wildcard pattern wherever a cmdlet takes a
// path without -LiteralPath (Expand-Archive's -DestinationPath among them),
// quoting or not: a work folder below such a path cannot be unpacked into.
bool holdsWildcard(const QString &path)
{
    return std::any_of(path.begin(), path.end(),
                       [](QChar c) { return QStringView(u"[]*?").contains(c); });
}

// The existing folder `path` spelt without wildcard characters: as it is, or
// on Windows its short (8.3) form, whose names never hold them. Empty when
// there is no such spelling (8.3 names turned off, or another system).
QString wildcardFreeFolder(const QString &path)
{
    if (!holdsWildcard(path))
        return path;
#ifdef Q_OS_WIN
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const QString shortForm = QDir::fromNativeSeparators(wideResult(
        [&](wchar_t *out, DWORD size) { return GetShortPathNameW(native.c_str(), out, size); }));
    if (!shortForm.isEmpty() && !holdsWildcard(shortForm))
        return shortForm;
#endif
    return QString();
}

} // namespace
