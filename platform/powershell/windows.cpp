// powershell.exe: the stand-in for Windows PowerShell where there is none
// (wine), for the wine tests only; never shipped.
//
// Usage: powershell.exe -NoProfile -Command <script>
//
// The same recognition as the Linux stand-in (script.h): exactly the
// installer's four scripts, and the command line of Uninstall.cmd that
// removes the shortcuts. Each is carried out with Windows' own means, as
// Windows PowerShell would: the zip through a reader that, like the .NET
// one, knows only stored and deflated entries and writes a link entry as a
// file; the shortcut as a real shell link through IShellLinkW. Per-item
// failures of Expand-Archive, Remove-Item and Copy-Item are reported on
// standard error and the run goes on, ending with exit code 0, as
// PowerShell's non-terminating errors do.
#include "script.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <private/qzipreader_p.h>

#include <cstdio>
#include <string>

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <windows.h>

namespace {

// Line 5 of Uninstall.cmd: what cmd hands to PowerShell after -Command.
const char *const uninstallCommand =
    "$d=[Environment]::GetFolderPath('Desktop');$s=[Environment]::GetFolderPath('StartMenu');"
    "Remove-Item -LiteralPath (Join-Path $d 'Tambrix.lnk') -Force -ErrorAction "
    "SilentlyContinue;Remove-Item -LiteralPath (Join-Path $s 'Programs\\Tambrix.lnk') -Force "
    "-ErrorAction SilentlyContinue;Remove-Item -LiteralPath (Join-Path $s 'Tambrix.lnk') -Force "
    "-ErrorAction SilentlyContinue";

void report(const QString &message)
{
    const QByteArray bytes = message.toLocal8Bit() + "\r\n";
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

int failWith(const QString &message)
{
    report(message);
    return 1;
}

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

// Where an entry lands, relative to the destination; empty when it would
// leave it.
QString containedEntry(const QString &name)
{
    QString path = name;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')) || (path.size() > 1 && path.at(1) == QLatin1Char(':')))
        return QString();
    const QString cleaned = QDir::cleanPath(path);
    if (cleaned == QLatin1String("..") || cleaned.startsWith(QLatin1String("../")))
        return QString();
    return cleaned;
}

int expandArchive(const QString &zip, const QString &destination)
{
    if (!QFileInfo(zip).isFile())
        return failWith(QStringLiteral("Expand-Archive : The path '%1' either does not exist or "
                                       "is not a valid file system path.")
                            .arg(zip));
    if (!zip.endsWith(QLatin1String(".zip"), Qt::CaseInsensitive))
        return failWith(QStringLiteral("Expand-Archive : .%1 is not a supported archive file "
                                       "format. .zip is the only supported archive file format.")
                            .arg(QFileInfo(zip).suffix()));
    // -DestinationPath is a pattern: an existing folder holding [ ] * ? is
    // not found through it, and creating it anew then fails.
    if (standin::holdsWildcard(destination.toStdString()) && QFileInfo::exists(destination))
        return failWith(QStringLiteral("New-Item : An item with the specified name %1 already "
                                       "exists.")
                            .arg(QDir::toNativeSeparators(destination)));
    QZipReader reader(zip);
    if (reader.status() != QZipReader::NoError)
        return failWith(QStringLiteral("Expand-Archive : The archive file '%1' is not a valid zip "
                                       "archive or is damaged.")
                            .arg(zip));
    const QList<QZipReader::FileInfo> entries = reader.fileInfoList();
    for (const QZipReader::FileInfo &entry : entries) {
        if (containedEntry(entry.filePath).isEmpty())
            return failWith(QStringLiteral("Expand-Archive : The archive entry '%1' would be "
                                           "extracted outside the destination folder.")
                                .arg(entry.filePath));
    }
    QDir().mkpath(destination);
    const QDir target(destination);
    for (const QZipReader::FileInfo &entry : entries) {
        const QString path = target.filePath(containedEntry(entry.filePath));
        if (entry.isDir) {
            QDir().mkpath(path);
            continue;
        }
        QDir().mkpath(QFileInfo(path).path());
        // Stored and deflated entries only, as the .NET reader; a link entry
        // is a file holding its target.
        // (A link entry's data is its target.)
        const QByteArray data = reader.fileData(entry.filePath);
        if (data.size() != entry.size) {
            QFile empty(path);
            if (!empty.open(QIODevice::WriteOnly | QIODevice::Truncate))
                report(QStringLiteral("Expand-Archive : Cannot create '%1'").arg(path));
            report(QStringLiteral("Exception calling \"ExtractToDirectory\" with \"3\" "
                                  "argument(s): \"The archive entry was compressed using an "
                                  "unsupported compression method.\""));
            return 0;
        }
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            out.write(data) != data.size()) {
            report(QStringLiteral("Expand-Archive : Cannot extract '%1': %2")
                       .arg(entry.filePath, out.errorString()));
            return 0;
        }
    }
    return 0;
}

bool removeItem(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        return QDir(path).removeRecursively();
    return QFile::remove(path) || RemoveDirectoryW(reinterpret_cast<const wchar_t *>(
                                      QDir::toNativeSeparators(path).utf16()));
}

bool copyItem(const QString &from, const QString &to)
{
    const QFileInfo info(from);
    if (!info.isDir()) {
        QFile::remove(to);
        return QFile::copy(from, to);
    }
    if (!QDir().mkpath(to))
        return false;
    bool ok = true;
    const QStringList children =
        QDir(from).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &child : children)
        ok = copyItem(QDir(from).filePath(child), QDir(to).filePath(child)) && ok;
    return ok;
}

QStringList childItems(const QString &folder)
{
    QStringList items;
    const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                     QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        items << QDir(folder).filePath(name);
    return items;
}

int copyIntoInstallFolder(const QString &installFolder, const QString &appRoot)
{
    if (QFileInfo::exists(installFolder)) {
        for (const QString &item : childItems(appRoot)) {
            const QString dest = QDir(installFolder).filePath(QFileInfo(item).fileName());
            if (QFileInfo::exists(dest) && !removeItem(dest))
                report(QStringLiteral("Remove-Item : Cannot remove item %1: Access to the path "
                                      "is denied.")
                           .arg(QDir::toNativeSeparators(dest)));
            // Copy-Item puts a folder into a folder that (still) exists.
            const bool into = QFileInfo(item).isDir() && QFileInfo(dest).isDir();
            if (!copyItem(item, into ? QDir(dest).filePath(QFileInfo(item).fileName()) : dest))
                report(QStringLiteral("Copy-Item : Cannot copy %1").arg(item));
        }
        return 0;
    }
    if (!QDir().mkpath(installFolder))
        return failWith(QStringLiteral("New-Item : Cannot create '%1'").arg(installFolder));
    // Copy-Item -Path (Join-Path ROOT '*'): a root holding [ ] * ? is part of
    // the pattern, which does not match the root's own name: nothing is
    // copied, and nothing is said.
    if (standin::holdsWildcard(appRoot.toStdString()))
        return 0;
    for (const QString &item : childItems(appRoot)) {
        if (!copyItem(item, QDir(installFolder).filePath(QFileInfo(item).fileName())))
            report(QStringLiteral("Copy-Item : Cannot copy %1").arg(item));
    }
    return 0;
}

int moveUp(const QString &nested, const QString &installFolder)
{
    for (const QString &item : childItems(nested)) {
        const QString dest = QDir(installFolder).filePath(QFileInfo(item).fileName());
        const std::wstring from = QDir::toNativeSeparators(item).toStdWString();
        const std::wstring to = QDir::toNativeSeparators(dest).toStdWString();
        if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
            report(QStringLiteral("Move-Item : Cannot move %1").arg(item));
    }
    QDir(nested).removeRecursively();
    return 0;
}

int saveShortcut(const std::vector<std::string> &values)
{
    const QString link = fromUtf8(values.at(0));
    if (!link.endsWith(QLatin1String(".lnk"), Qt::CaseInsensitive) &&
        !link.endsWith(QLatin1String(".url"), Qt::CaseInsensitive))
        return failWith(QStringLiteral("Exception calling \"CreateShortcut\" with \"1\" "
                                       "argument(s): \"The shortcut pathname must end with .lnk "
                                       "or .url.\""));
    const QString icon = fromUtf8(values.at(3));
    const qsizetype comma = icon.lastIndexOf(QLatin1Char(','));
    const QString iconPath = comma < 0 ? icon : icon.left(comma);
    const int iconIndex = comma < 0 ? 0 : icon.mid(comma + 1).toInt();

    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    IShellLinkW *shell = nullptr;
    IPersistFile *file = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                  reinterpret_cast<void **>(&shell));
    if (SUCCEEDED(hr))
        hr = shell->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    const std::wstring linkPath = QDir::toNativeSeparators(link).toStdWString();
    // CreateShortcut opens an existing link and keeps what is not set anew.
    if (SUCCEEDED(hr) && QFileInfo::exists(link))
        file->Load(linkPath.c_str(), STGM_READ);
    if (SUCCEEDED(hr))
        hr =
            shell->SetPath(QDir::toNativeSeparators(fromUtf8(values.at(1))).toStdWString().c_str());
    // WScript.Shell stores the working folder and the icon's path as given,
    // separators and all (real PowerShell under wine showed it); only the
    // target is made a full path.
    if (SUCCEEDED(hr))
        hr = shell->SetWorkingDirectory(fromUtf8(values.at(2)).toStdWString().c_str());
    if (SUCCEEDED(hr))
        hr = shell->SetIconLocation(iconPath.toStdWString().c_str(), iconIndex);
    if (SUCCEEDED(hr))
        hr = shell->SetDescription(L"Tambrix");
    if (SUCCEEDED(hr))
        hr = file->Save(linkPath.c_str(), TRUE);
    if (file)
        file->Release();
    if (shell)
        shell->Release();
    CoUninitialize();
    if (FAILED(hr))
        return failWith(QStringLiteral("Exception calling \"Save\" with \"0\" argument(s): "
                                       "\"Unable to save shortcut \"%1\".\"")
                            .arg(link));
    return 0;
}

QString knownFolder(REFKNOWNFOLDERID id)
{
    PWSTR path = nullptr;
    QString result;
    if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &path)))
        result = QString::fromWCharArray(path);
    CoTaskMemFree(path);
    return result;
}

int removeShortcuts()
{
    const QString desktop = knownFolder(FOLDERID_Desktop);
    const QString startMenu = knownFolder(FOLDERID_StartMenu);
    for (const QString &link : {QDir(desktop).filePath(QStringLiteral("Tambrix.lnk")),
                                QDir(startMenu).filePath(QStringLiteral("Programs/Tambrix.lnk")),
                                QDir(startMenu).filePath(QStringLiteral("Tambrix.lnk"))})
        QFile::remove(link);
    return 0;
}

} // namespace

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 4 || std::wstring(argv[1]) != L"-NoProfile" ||
        std::wstring(argv[2]) != L"-Command")
        return failWith(
            QStringLiteral("powershell (stand-in): expected exactly -NoProfile -Command <script>"));
    const QString scriptText = QString::fromWCharArray(argv[3]);
    const std::string script = scriptText.toStdString();
    if (script == uninstallCommand)
        return removeShortcuts();
    const auto matched = standin::recogniseScript(script);
    if (!matched)
        return failWith(QStringLiteral("powershell (stand-in): refusing a script that is not one "
                                       "of the installer's templates: ") +
                        scriptText);
    const auto &v = matched->values;
    switch (matched->kind) {
    case standin::ScriptKind::ExpandArchive:
        return expandArchive(fromUtf8(v.at(0)), fromUtf8(v.at(1)));
    case standin::ScriptKind::Copy:
        return copyIntoInstallFolder(fromUtf8(v.at(0)), fromUtf8(v.at(1)));
    case standin::ScriptKind::Move:
        return moveUp(fromUtf8(v.at(0)), fromUtf8(v.at(1)));
    case standin::ScriptKind::Shortcut:
        return saveShortcut(v);
    }
    return 1;
}
