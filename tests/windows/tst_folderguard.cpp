// The install-folder check with the real Win32 path functions
// (GetFullPathNameW, GetLongPathNameW, GetFinalPathNameByHandleW and the
// known-folder API): Windows spellings of the user's own folders are refused,
// folders of the program's own are not. Runs under wine (or Windows); exit
// code 0 when every check holds.
#include "folderguard.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

int failures = 0;

void expect(const QString &folder, bool refused, const char *what)
{
    const FolderVerdict verdict = checkInstallFolder(folder);
    const bool ok = (verdict.kind != FolderVerdict::Kind::Fine) == refused;
    std::printf("  %s: %s: %s -> %s\n", ok ? "ok" : "FAILED", what, qPrintable(folder),
                qPrintable(verdict.resolved));
    if (!ok)
        ++failures;
}

QString shortName(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetShortPathNameW(native.c_str(), buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH
               ? QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(n)))
               : QString();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString home = QDir::fromNativeSeparators(qEnvironmentVariable("USERPROFILE"));
    const QString local = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
    if (home.isEmpty() || local.isEmpty()) {
        std::printf("FAILED: USERPROFILE or LOCALAPPDATA is not set\n");
        return 1;
    }
    expect(home, true, "the profile");
    expect(home + QLatin1Char('.'), true, "the profile with a trailing dot");
    expect(home + QStringLiteral(" . "), true, "the profile with trailing dots and blanks");
    expect(QStringLiteral("\\\\?\\") + QDir::toNativeSeparators(home), true,
           "the profile behind \\\\?\\");
    expect(QStringLiteral("\\\\.\\") + QDir::toNativeSeparators(local), true,
           "local app data behind \\\\.\\");
    expect(home.toUpper(), true, "the profile in other case");
    expect(home + QStringLiteral("/Documents/.."), true, "back to the profile with ..");
    const QString documents = home + QStringLiteral("/Documents");
    QDir().mkpath(documents);
    const QString shortDocuments = shortName(documents);
    if (!shortDocuments.isEmpty() && shortDocuments.compare(documents, Qt::CaseInsensitive) != 0)
        expect(shortDocuments, true, "Documents by its 8.3 name");
    else
        std::printf("  (no 8.3 name for Documents here)\n");
    expect(local + QStringLiteral("/TAMBRI~1/.."), true, "local app data through a dot-dot");
    expect(QStringLiteral("C:/Apps/100%"), true, "a percent sign");
    expect(QStringLiteral("C:\\Apps\\NUL"), true, "a device name");
    expect(QStringLiteral("C:\\"), true, "the drive root");
    expect(QStringLiteral("\\\\server\\share"), true, "a share root");
    expect(QFileInfo(home).path() + QStringLiteral("/someone"), true, "another profile");
    expect(local + QStringLiteral("/Tambrix"), false, "the default folder");
    expect(local + QStringLiteral("/Programs/Tambrix"), false, "inside per-user programs");
    expect(QStringLiteral("C:/Apps/O'Brien [x64] & ^/Tambrix"), false, "an odd but own name");

    // A link to the profile (on NTFS a junction; tests/wine/run makes it from
    // the Unix side, which wine shows as a folder), and a folder below it.
    const QString link = QStringLiteral("C:/tambrix-link");
    if (QFileInfo(link).isDir()) {
        std::printf("  final path of the link: %s, attributes %lx\n",
                    qPrintable(win32FinalPath(link)), GetFileAttributesW(L"C:\\tambrix-link"));
        expect(link, true, "a link to the profile");
        expect(link + QStringLiteral("/Desktop"), true, "the desktop through the link");
        expect(link + QStringLiteral("/Apps/Tambrix"), false, "an own folder through the link");
    } else {
        std::printf("  (no link C:/tambrix-link here)\n");
    }
    std::printf("folderguard: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
