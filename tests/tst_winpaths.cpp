// Windows' path rules, with Windows spellings: which folder a path names,
// which names Windows refuses, and how 8.3 names and links are followed.
#include "testenv.h"

#include "winpaths.h"

#include <QHash>
#include <QSet>
#include <QtTest>

class tst_WinPaths : public QObject
{
    Q_OBJECT

private slots:
    void fullPath_data();
    void fullPath();
    void sameFolder_data();
    void sameFolder();
    void resolved_data();
    void resolved();
    void fileNameComponent_data();
    void fileNameComponent();
    void folderText_data();
    void folderText();
    void codePageHazards_data();
    void codePageHazards();
    void codePageFlags_data();
    void codePageFlags();
};

using Problem = FolderRefusal;
using TextFault = FolderRefusal;

void tst_WinPaths::fullPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("currentDir");
    QTest::addColumn<QString>("expected"); // text(), framework form
    QTest::addColumn<bool>("isRoot");
    QTest::addColumn<Problem>("problem");
    const QString cwd = QStringLiteral("C:\\Users\\u\\Downloads");

    QTest::newRow("plain") << "C:\\Users\\u\\AppData\\Local\\Tambrix" << cwd
                           << "C:/Users/u/AppData/Local/Tambrix" << false << Problem::Fine;
    QTest::newRow("forward slashes")
        << "C:/Users/u/Apps" << cwd << "C:/Users/u/Apps" << false << Problem::Fine;
    QTest::newRow("lower-case drive") << "c:\\Apps" << cwd << "C:/Apps" << false << Problem::Fine;
    QTest::newRow("trailing dot") << "C:/Users/u." << cwd << "C:/Users/u" << false << Problem::Fine;
    QTest::newRow("trailing blank and separator")
        << "C:/Users/u /" << cwd << "C:/Users/u" << false << Problem::Fine;
    QTest::newRow("dots and blanks mixed")
        << "C:\\Users\\u. . .\\" << cwd << "C:/Users/u" << false << Problem::Fine;
    // Only the last name loses them to GetFullPathNameW; the comparison of
    // system folders trims every name, so that it can only find more.
    QTest::newRow("trailing dot inside, compared trimmed")
        << "C:/Users./u/Desktop" << cwd << "C:/Users/u/Desktop" << false << Problem::Fine;
    QTest::newRow("only dots is nothing")
        << "C:/Users/u/..." << cwd << "C:/Users/u" << false << Problem::Fine;
    QTest::newRow("dot dot") << "C:/Users/u/Documents/.." << cwd << "C:/Users/u" << false
                             << Problem::Fine;
    // ".. " is a name, not the parent (compared trimmed: to nothing).
    QTest::newRow("dot dot with blank")
        << "C:/Users/u/Apps/.. " << cwd << "C:/Users/u/Apps" << false << Problem::Fine;
    QTest::newRow("dot dot above the root")
        << "C:/../../Users" << cwd << "C:/Users" << false << Problem::Fine;
    QTest::newRow("dot") << "C:/./Users/./u" << cwd << "C:/Users/u" << false << Problem::Fine;
    QTest::newRow("doubled separators")
        << "C:\\\\Users//u" << cwd << "C:/Users/u" << false << Problem::Fine;
    QTest::newRow("drive root") << "C:\\" << cwd << "C:/" << true << Problem::Fine;
    QTest::newRow("bare drive, other than current")
        << "D:" << cwd << "D:/" << true << Problem::Fine;
    QTest::newRow("bare drive is the current folder")
        << "C:" << cwd << "C:/Users/u/Downloads" << false << Problem::Fine;
    QTest::newRow("drive-relative")
        << "C:Apps" << cwd << "C:/Users/u/Downloads/Apps" << false << Problem::Fine;
    QTest::newRow("root of current drive")
        << "\\Apps" << cwd << "C:/Apps" << false << Problem::Fine;
    QTest::newRow("relative") << "..\\Desktop" << cwd << "C:/Users/u/Desktop" << false
                              << Problem::Fine;
    QTest::newRow("UNC share") << "\\\\server\\share" << cwd << "//server/share" << true
                               << Problem::Fine;
    QTest::newRow("UNC share, forward")
        << "//server/share/" << cwd << "//server/share" << true << Problem::Fine;
    QTest::newRow("UNC server alone") << "\\\\server" << cwd << "//server" << true << Problem::Fine;
    QTest::newRow("UNC folder") << "\\\\server\\share\\Apps\\." << cwd << "//server/share/Apps"
                                << false << Problem::Fine;
    QTest::newRow("UNC dot dot stays in the share")
        << "\\\\server\\share\\..\\..\\other" << cwd << "//server/share/other" << false
        << Problem::Fine;
    QTest::newRow("long prefix") << "\\\\?\\C:\\Users\\u" << cwd << "C:/Users/u" << false
                                 << Problem::Fine;
    // Behind \\?\ every name is taken literally.
    QTest::newRow("long prefix, trailing dot")
        << "\\\\?\\C:\\Users\\u." << cwd << "C:/Users/u." << false << Problem::TrailingDotOrBlank;
    QTest::newRow("long prefix, dot dot is a name")
        << "\\\\?\\C:\\Users\\u\\..\\x" << cwd << "C:/Users/u/../x" << false
        << Problem::TrailingDotOrBlank;
    QTest::newRow("device prefix")
        << "\\\\.\\C:\\Users\\u\\" << cwd << "C:/Users/u" << false << Problem::Fine;
    QTest::newRow("NT prefix") << "\\??\\C:\\Users" << cwd << "C:/Users" << false << Problem::Fine;
    QTest::newRow("long prefix drive root")
        << "\\\\?\\C:\\" << cwd << "C:/" << true << Problem::Fine;
    QTest::newRow("long UNC prefix")
        << "\\\\?\\UNC\\server\\share\\x" << cwd << "//server/share/x" << false << Problem::Fine;
    QTest::newRow("long UNC prefix, share root")
        << "//?/unc/server/share" << cwd << "//server/share" << true << Problem::Fine;
    QTest::newRow("volume GUID") << "\\\\?\\Volume{1b3b1146-4076-11e1-84aa-806e6f6e6963}\\Apps"
                                 << cwd << "//?/Volume{1b3b1146-4076-11e1-84aa-806e6f6e6963}"
                                 << true << Problem::DevicePath;
    QTest::newRow("physical drive")
        << "\\\\.\\PhysicalDrive0" << cwd << "//?/PhysicalDrive0" << true << Problem::DevicePath;
    QTest::newRow("alternate stream of a folder")
        << "C:\\Users\\u::$INDEX_ALLOCATION" << cwd << "C:/Users/u::$INDEX_ALLOCATION" << false
        << Problem::InvalidName;
    QTest::newRow("wildcard") << "C:\\Users\\*" << cwd << "C:/Users/*" << false
                              << Problem::InvalidName;
    QTest::newRow("control character")
        << QStringLiteral("C:/Apps/a\tb") << cwd << QStringLiteral("C:/Apps/a\tb") << false
        << Problem::InvalidName;
    QTest::newRow("device name") << "C:\\Apps\\NUL" << cwd << "C:/Apps/NUL" << false
                                 << Problem::ReservedName;
    QTest::newRow("device name with extension")
        << "C:\\Apps\\com1.txt\\x" << cwd << "C:/Apps/com1.txt/x" << false << Problem::ReservedName;
    QTest::newRow("device name, blank before extension")
        << "C:\\Apps\\CON .log" << cwd << "C:/Apps/CON .log" << false << Problem::ReservedName;
    QTest::newRow("superscript port")
        << QStringLiteral("C:/Apps/LPT\u00B9") << cwd << QStringLiteral("C:/Apps/LPT\u00B9")
        << false << Problem::ReservedName;
    QTest::newRow("names that only start like devices")
        << "C:/Apps/CONSOLE/COM10/nul-free" << cwd << "C:/Apps/CONSOLE/COM10/nul-free" << false
        << Problem::Fine;
    QTest::newRow("POSIX path") << "/home/u/.local/share/Tambrix"
                                << "/home/u"
                                << "/home/u/.local/share/Tambrix" << false << Problem::Fine;
    QTest::newRow("POSIX root") << "/"
                                << "/home/u"
                                << "/" << true << Problem::Fine;
    QTest::newRow("POSIX relative") << "../v"
                                    << "/home/u"
                                    << "/home/v" << false << Problem::Fine;
}

void tst_WinPaths::fullPath()
{
    QFETCH(QString, path);
    QFETCH(QString, currentDir);
    QFETCH(QString, expected);
    QFETCH(bool, isRoot);
    QFETCH(Problem, problem);
    const WindowsPath parsed = parseWindowsPath(path, currentDir);
    QCOMPARE(parsed.text(), expected);
    QCOMPARE(parsed.isRoot(), isRoot);
    QCOMPARE(parsed.problem, problem);
}

void tst_WinPaths::sameFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("other");
    QTest::addColumn<bool>("sameOrAncestor");

    QTest::newRow("same, other case") << "c:/users/U"
                                      << "C:\\Users\\u" << true;
    QTest::newRow("Cyrillic, other case")
        << QStringLiteral("C:/Users/Пётр") << QStringLiteral("C:/USERS/ПЁТР") << true;
    QTest::newRow("ancestor") << "C:/Users"
                              << "C:/Users/u/AppData/Local" << true;
    QTest::newRow("descendant is not ancestor") << "C:/Users/u/Apps"
                                                << "C:/Users/u" << false;
    QTest::newRow("whole components only") << "C:/Users/u"
                                           << "C:/Users/uu" << false;
    QTest::newRow("other drive") << "D:/Users/u"
                                 << "C:/Users/u" << false;
    QTest::newRow("profile inside profiles") << "C:/Users/other"
                                             << "C:/Users" << false;
    QTest::newRow("deeper is not an ancestor") << "C:/Users/other/Apps"
                                               << "C:/Users" << false;
    QTest::newRow("share, other case") << "//SERVER/Share"
                                       << "\\\\server\\share\\x" << true;
    // No multi-character case mapping: ß is not SS to Windows.
    QTest::newRow("sharp s is its own letter")
        << QStringLiteral("C:/Straße") << QStringLiteral("C:/STRASSE") << false;
}

void tst_WinPaths::sameFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, other);
    QFETCH(bool, sameOrAncestor);
    const QString cwd = QStringLiteral("C:/");
    const WindowsPath a = parseWindowsPath(folder, cwd);
    const WindowsPath b = parseWindowsPath(other, cwd);
    QCOMPARE(isSameOrAncestor(a, b), sameOrAncestor);
}

void tst_WinPaths::resolved_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<Problem>("problem");

    QTest::newRow("nothing exists: as spelt") << "D:/New/Folder"
                                              << "D:/New/Folder" << Problem::Fine;
    QTest::newRow("8.3 profile") << "C:/Users/JOHNSM~1"
                                 << "C:/Users/johnsmith" << Problem::Fine;
    QTest::newRow("8.3 AppData, rest kept") << "C:\\Users\\johnsmith\\APPDAT~1\\Local"
                                            << "C:/Users/johnsmith/AppData/Local" << Problem::Fine;
    QTest::newRow("8.3 in a missing tail is a new name")
        << "C:/Users/johnsmith/APPDAT~1/NEWDIR~1"
        << "C:/Users/johnsmith/AppData/NEWDIR~1" << Problem::Fine;
    QTest::newRow("junction to the profile") << "C:/Apps/Link"
                                             << "C:/Users/johnsmith" << Problem::Fine;
    QTest::newRow("folder below a junction") << "C:/Apps/Link/Desktop/x"
                                             << "C:/Users/johnsmith/Desktop/x" << Problem::Fine;
    QTest::newRow("link to a share") << "C:/Apps/ShareLink/y"
                                     << "//server/share/y" << Problem::Fine;
    // A final path is read as Windows opens it: trailing dots and blanks kept,
    // "..", ".. " names, so a junction to "Tambrix." is not the folder
    // "Tambrix", nor one into "Program Files\\.. " a folder beside it.
    QTest::newRow("junction to a name with a trailing dot")
        << "C:/Apps/DotLink"
        << "C:/Users/johnsmith/AppData/Local/Tambrix." << Problem::TrailingDotOrBlank;
    QTest::newRow("junction into dot dot and a blank")
        << "C:/Apps/UpLink/x"
        << "C:/Program Files/.. " << Problem::TrailingDotOrBlank;
    // Without the prefix, as the fallback for a folder that cannot be opened
    // (GetLongPathNameW alone) and the Linux resolver answer: still literal.
    QTest::newRow("final path without the prefix, a trailing dot")
        << "C:/Apps/Unopened/x"
        << "C:/Users/johnsmith/Data." << Problem::TrailingDotOrBlank;
    QTest::newRow("final path without the prefix, a trailing blank")
        << "C:/Apps/Unopened2"
        << "C:/Users/johnsmith/Data " << Problem::TrailingDotOrBlank;
    QTest::newRow("trailing dot, then 8.3") << "C:/Users/JOHNSM~1."
                                            << "C:/Users/johnsmith" << Problem::Fine;
}

void tst_WinPaths::resolved()
{
    QFETCH(QString, path);
    QFETCH(QString, expected);
    // What GetLongPathNameW and GetFinalPathNameByHandleW would answer on a
    // machine with these folders.
    const QHash<QString, QString> finalPaths = {
        {QStringLiteral("C:/"), QStringLiteral("\\\\?\\C:\\")},
        {QStringLiteral("C:/Users"), QStringLiteral("\\\\?\\C:\\Users")},
        {QStringLiteral("C:/Users/JOHNSM~1"), QStringLiteral("\\\\?\\C:\\Users\\johnsmith")},
        {QStringLiteral("C:/Users/johnsmith"), QStringLiteral("\\\\?\\C:\\Users\\johnsmith")},
        {QStringLiteral("C:/Users/johnsmith/APPDAT~1"),
         QStringLiteral("\\\\?\\C:\\Users\\johnsmith\\AppData")},
        {QStringLiteral("C:/Users/johnsmith/APPDAT~1/Local"),
         QStringLiteral("\\\\?\\C:\\Users\\johnsmith\\AppData\\Local")},
        {QStringLiteral("C:/Apps"), QStringLiteral("\\\\?\\C:\\Apps")},
        {QStringLiteral("C:/Apps/Link"), QStringLiteral("\\\\?\\C:\\Users\\johnsmith")},
        {QStringLiteral("C:/Apps/Link/Desktop"),
         QStringLiteral("\\\\?\\C:\\Users\\johnsmith\\Desktop")},
        {QStringLiteral("C:/Apps/ShareLink"), QStringLiteral("\\\\?\\UNC\\server\\share")},
        {QStringLiteral("C:/Apps/DotLink"),
         QStringLiteral("\\\\?\\C:\\Users\\johnsmith\\AppData\\Local\\Tambrix.")},
        {QStringLiteral("C:/Apps/UpLink"), QStringLiteral("\\\\?\\C:\\Program Files\\.. ")},
        {QStringLiteral("C:/Apps/Unopened"), QStringLiteral("C:\\Users\\johnsmith\\Data.")},
        {QStringLiteral("C:/Apps/Unopened2"), QStringLiteral("C:\\Users\\johnsmith\\Data ")},
    };
    QFETCH(Problem, problem);
    const WindowsPath resolved = resolveWindowsPath(
        path, QStringLiteral("C:/"), [&](const QString &p) { return finalPaths.value(p); });
    QCOMPARE(resolved.text(), expected);
    QCOMPARE(resolved.problem, problem);
}

void tst_WinPaths::fileNameComponent_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<NameFault>("fault");

    QTest::newRow("plain") << "1.4.2" << NameFault::None;
    QTest::newRow("leading blank and letter") << " v1.0" << NameFault::None;
    QTest::newRow("Cyrillic") << QStringLiteral("1.0-бета") << NameFault::None;
    QTest::newRow("name starting like a device") << "CONSOLE" << NameFault::None;
    QTest::newRow("COM10 is no device") << "COM10" << NameFault::None;
    QTest::newRow("slash") << "1/2" << NameFault::Separator;
    QTest::newRow("backslash") << "..\\x" << NameFault::Separator;
    QTest::newRow("NUL character") << QString::fromUtf16(u"1\u0000", 2) << NameFault::Control;
    QTest::newRow("tab") << "1\t2" << NameFault::Control;
    QTest::newRow("unit separator") << QStringLiteral("1\u001F") << NameFault::Control;
    for (const char *c : {"<", ">", ":", "\"", "|", "?", "*"})
        QTest::newRow(qPrintable(QStringLiteral("character %1").arg(QLatin1String(c))))
            << QStringLiteral("1%12").arg(QLatin1String(c)) << NameFault::ForbiddenCharacter;
    QTest::newRow("opening bracket") << "1.0[beta" << NameFault::Bracket;
    QTest::newRow("closing bracket") << "1.0]" << NameFault::Bracket;
    QTest::newRow("trailing dot") << "1.0." << NameFault::TrailingDotOrBlank;
    QTest::newRow("trailing blank") << "1.0 " << NameFault::TrailingDotOrBlank;
    QTest::newRow("dot") << "." << NameFault::TrailingDotOrBlank;
    QTest::newRow("dot dot") << ".." << NameFault::TrailingDotOrBlank;
    for (const char *device : {"CON", "prn", "Aux", "NUL", "COM1", "com9", "LPT1", "lpt9"})
        QTest::newRow(device) << QString::fromLatin1(device) << NameFault::DeviceName;
    QTest::newRow("device with extension") << "nul.1" << NameFault::DeviceName;
    QTest::newRow("device with two extensions") << "CON.tar.gz" << NameFault::DeviceName;
}

void tst_WinPaths::fileNameComponent()
{
    QFETCH(QString, name);
    QFETCH(NameFault, fault);
    QCOMPARE(fileNameComponentFault(name, true), fault);
}

void tst_WinPaths::folderText_data()
{
    QTest::addColumn<QString>("typed"); // the folder field, trimmed
    QTest::addColumn<PathStyle>("style");
    QTest::addColumn<TextFault>("fault");
    QTest::addColumn<QString>("part");    // the name or text at fault
    QTest::addColumn<QString>("cleaned"); // when accepted: QDir::cleanPath's reading
    const PathStyle win = PathStyle::Windows, posix = PathStyle::Posix;

    // What every reader takes for the same folder.
    QTest::newRow("default folder")
        << "C:\\Users\\u\\AppData\\Local\\Tambrix" << win << TextFault::Fine << QString()
        << "C:/Users/u/AppData/Local/Tambrix";
    QTest::newRow("other drive, forward slashes")
        << "D:/Apps/Tambrix" << win << TextFault::Fine << QString() << "D:/Apps/Tambrix";
    QTest::newRow("lower-case drive kept")
        << "d:\\Apps" << win << TextFault::Fine << QString() << "d:/Apps";
    QTest::newRow("trailing separator")
        << "C:\\Apps\\Tambrix\\" << win << TextFault::Fine << QString() << "C:/Apps/Tambrix";
    QTest::newRow("doubled separators")
        << "C:\\\\Apps//Tambrix" << win << TextFault::Fine << QString() << "C:/Apps/Tambrix";
    QTest::newRow("dot and dot-dot") << "C:\\Apps\\.\\x\\..\\Tambrix" << win << TextFault::Fine
                                     << QString() << "C:/Apps/Tambrix";
    QTest::newRow("apostrophes, brackets, ampersand, caret")
        << QStringLiteral("C:\\Users\\u\\Apps\\O'Brien [x64] (1) & ^c") << win << TextFault::Fine
        << QString() << QStringLiteral("C:/Users/u/Apps/O'Brien [x64] (1) & ^c");
    QTest::newRow("typographic apostrophe")
        << QStringLiteral("C:\\Apps\\O\u2019Brien") << win << TextFault::Fine << QString()
        << QStringLiteral("C:/Apps/O\u2019Brien");
    QTest::newRow("Cyrillic") << QStringLiteral("C:\\Программы\\Тамбрикс") << win << TextFault::Fine
                              << QString() << QStringLiteral("C:/Программы/Тамбрикс");
    QTest::newRow("leading blank of a name is kept")
        << "C:\\Apps\\ x" << win << TextFault::Fine << QString() << "C:/Apps/ x";
    QTest::newRow("a dot inside a name")
        << "C:\\Apps\\v1.2\\x" << win << TextFault::Fine << QString() << "C:/Apps/v1.2/x";
    QTest::newRow("tilde inside a name")
        << "C:\\PROGRA~1\\x~" << win << TextFault::Fine << QString() << "C:/PROGRA~1/x~";
    QTest::newRow("drive root") << "C:\\" << win << TextFault::Fine << QString() << "C:/";
    QTest::newRow("POSIX folder") << "/home/u/Apps/Tambrix/" << posix << TextFault::Fine
                                  << QString() << "/home/u/Apps/Tambrix";
    QTest::newRow("POSIX root") << "/" << posix << TextFault::Fine << QString() << "/";

    // Relative spellings: Qt, Windows and PowerShell each take another base.
    for (const char *relative : {"Tambrix", "C:Tambrix", "\\Tambrix", "/Tambrix", "C:", "~",
                                 "~\\Documents", "~/Apps", ".\\Apps", "..\\Apps", "c;\\apps"})
        QTest::newRow(qPrintable(QStringLiteral("relative %1").arg(QLatin1String(relative))))
            << QString::fromLatin1(relative) << win << TextFault::NotAbsolute
            << QString::fromLatin1(relative) << QString();
    for (const char *relative : {"Tambrix", "~", "~/Apps", "./Apps", "c;/apps/o'brien"})
        QTest::newRow(qPrintable(QStringLiteral("POSIX relative %1").arg(QLatin1String(relative))))
            << QString::fromLatin1(relative) << posix << TextFault::NotAbsolute
            << QString::fromLatin1(relative) << QString();
    QTest::newRow("above the root")
        << "C:\\..\\Users\\u" << win << TextFault::AboveRoot << "C:\\..\\Users\\u" << QString();
    QTest::newRow("above the root, then a name and its dot-dot")
        << "C:\\Apps\\..\\..\\Users\\..\\u" << win << TextFault::AboveRoot
        << "C:\\Apps\\..\\..\\Users\\..\\u" << QString();
    QTest::newRow("POSIX above the root")
        << "/../home" << posix << TextFault::AboveRoot << "/../home" << QString();

    // Shares, and device spellings that cleaning turns into relative paths.
    for (const char *share :
         {"\\\\server\\share\\Apps", "\\\\localhost\\C$\\Users\\u", "//127.0.0.1/c$/Users/u",
          "\\\\?\\UNC\\localhost\\C$\\Users\\u\\Desktop", "\\\\?\\unc\\server\\share",
          "\\\\.\\UNC\\server\\share"})
        QTest::newRow(qPrintable(QStringLiteral("share %1").arg(QLatin1String(share))))
            << QString::fromLatin1(share) << win << TextFault::Share << QString::fromLatin1(share)
            << QString();
    QTest::newRow("POSIX double slash")
        << "//server/share" << posix << TextFault::Share << "//server/share" << QString();
    for (const char *device :
         {"\\\\?\\C:\\Users\\u\\Apps", "\\\\.\\C:\\Apps", "\\\\.\\C:", "\\??\\C:\\Apps",
          "\\\\?\\Volume{1b3b1146-4076-11e1-84aa-806e6f6e6963}\\Users\\u",
          "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\Users", "\\\\.\\PhysicalDrive0"})
        QTest::newRow(qPrintable(QStringLiteral("device %1").arg(QLatin1String(device))))
            << QString::fromLatin1(device) << win << TextFault::DevicePath
            << QString::fromLatin1(device) << QString();

    // What cmd reads once more when the clean-up script runs.
    QTest::newRow("percent") << "D:\\Games\\%X%" << win << TextFault::Percent << "D:\\Games\\%X%"
                             << QString();
    QTest::newRow("lone percent") << "D:\\100%" << win << TextFault::Percent << "D:\\100%"
                                  << QString();
    QTest::newRow("exclamation pair")
        << "D:\\Data\\!old!" << win << TextFault::Exclamation << "D:\\Data\\!old!" << QString();
    QTest::newRow("lone exclamation")
        << "/home/u/Wow!" << posix << TextFault::Exclamation << "/home/u/Wow!" << QString();

    // A name that ends in a blank or a dot anywhere: Qt keeps it, Windows
    // drops it from the last name only, so readers meet different folders.
    QTest::newRow("trailing blank, last name")
        << "D:\\Data " << win << TextFault::TrailingDotOrBlank << "Data " << QString();
    QTest::newRow("trailing blank before the separator")
        << "D:\\Data \\" << win << TextFault::TrailingDotOrBlank << "Data " << QString();
    QTest::newRow("dot and blank")
        << "D:\\Data. \\" << win << TextFault::TrailingDotOrBlank << "Data. " << QString();
    QTest::newRow("blank, then the current folder")
        << "D:\\Data \\." << win << TextFault::TrailingDotOrBlank << "Data " << QString();
    QTest::newRow("dots in the middle")
        << "D:\\Games..\\Steam" << win << TextFault::TrailingDotOrBlank << "Games.." << QString();
    QTest::newRow("three dots") << "C:\\Users\\u\\..." << win << TextFault::TrailingDotOrBlank
                                << "..." << QString();
    QTest::newRow("dot-dot with a blank")
        << "C:\\Users\\u\\Apps\\.. " << win << TextFault::TrailingDotOrBlank << ".. " << QString();
    QTest::newRow("POSIX trailing dot")
        << "/home/u." << posix << TextFault::TrailingDotOrBlank << "u." << QString();

    QTest::newRow("stream of a folder")
        << "C:\\Users\\u::$INDEX_ALLOCATION" << win << TextFault::InvalidName
        << "u::$INDEX_ALLOCATION" << QString();
    QTest::newRow("wildcard") << "C:\\Apps\\*" << win << TextFault::InvalidName << "*" << QString();
    QTest::newRow("tab") << QStringLiteral("C:\\Apps\\a\tb") << win << TextFault::InvalidName
                         << QStringLiteral("a\tb") << QString();
    QTest::newRow("device name") << "C:\\Apps\\nul.txt\\x" << win << TextFault::ReservedName
                                 << "nul.txt" << QString();

    // cmd writes these as other characters into the clean-up script.
    QTest::newRow("fullwidth backslash")
        << QStringLiteral("C:\\Users\\u\\Documents\uFF3C") << win << TextFault::CodePage
        << QStringLiteral("Documents\uFF3C") << QString();
    QTest::newRow("fullwidth percent")
        << QStringLiteral("C:\\Apps\\\uFF05TEMP\uFF05") << win << TextFault::CodePage
        << QStringLiteral("\uFF05TEMP\uFF05") << QString();
    QTest::newRow("yen sign") << QStringLiteral("C:\\Users\\u\\Documents\u00A5x") << win
                              << TextFault::CodePage << QStringLiteral("Documents\u00A5x")
                              << QString();
    QTest::newRow("ideographic space")
        << QStringLiteral("C:\\Users\\u\\Apps\u3000") << win << TextFault::CodePage
        << QStringLiteral("Apps\u3000") << QString();
    QTest::newRow("no-break space")
        << QStringLiteral("C:\\Apps\\a\u00A0b") << win << TextFault::CodePage
        << QStringLiteral("a\u00A0b") << QString();
    QTest::newRow("ellipsis, a trailing dot in disguise")
        << QStringLiteral("C:\\Apps\\Tambrix\u2026") << win << TextFault::CodePage
        << QStringLiteral("Tambrix\u2026") << QString();
    QTest::newRow("lone surrogate")
        << QString::fromUtf16(u"C:\\Apps\\a\xD800") << win << TextFault::CodePage
        << QString::fromUtf16(u"a\xD800") << QString();
}

void tst_WinPaths::folderText()
{
    QFETCH(QString, typed);
    QFETCH(PathStyle, style);
    QFETCH(TextFault, fault);
    QFETCH(QString, part);
    QFETCH(QString, cleaned);
    const WindowsPath text = readFolderText(typed, style);
    QCOMPARE(text.problem, fault);
    QCOMPARE(text.problemPart, part);
    if (fault == TextFault::Fine) {
        QCOMPARE(text.text(), cleaned);
        // The reading every stage gets from Qt is this same text (Qt reads
        // drive letters only on Windows, where the wine run compares them).
        if (style == PathStyle::Posix)
            QCOMPARE(QDir::cleanPath(typed), cleaned);
    }
}

void tst_WinPaths::codePageHazards_data()
{
    QTest::addColumn<uint>("codePoint");
    QTest::addColumn<bool>("changes");
    // Plain letters of the code pages our users have keep their form.
    QTest::newRow("Latin a") << uint('a') << false;
    QTest::newRow("Cyrillic ya") << 0x044Fu << false;
    QTest::newRow("Cyrillic yo") << 0x0451u << false;
    QTest::newRow("e acute") << 0x00E9u << false;
    QTest::newRow("typographic apostrophe") << 0x2019u << false;
    QTest::newRow("emoji") << 0x1F600u << false;
    // Best-fit look-alikes of the characters cmd and Windows act on.
    QTest::newRow("fullwidth reverse solidus") << 0xFF3Cu << true;
    QTest::newRow("fullwidth percent") << 0xFF05u << true;
    QTest::newRow("fullwidth exclamation") << 0xFF01u << true;
    QTest::newRow("fullwidth full stop") << 0xFF0Eu << true;
    QTest::newRow("fullwidth tilde") << 0xFF5Eu << true;
    QTest::newRow("small percent") << 0xFE6Au << true;
    QTest::newRow("small reverse solidus") << 0xFE68u << true;
    QTest::newRow("yen") << 0x00A5u << true;
    QTest::newRow("won") << 0x20A9u << true;
    QTest::newRow("ideographic space") << 0x3000u << true;
    QTest::newRow("no-break space") << 0x00A0u << true;
    QTest::newRow("en space") << 0x2002u << true;
    QTest::newRow("narrow no-break space") << 0x202Fu << true;
    QTest::newRow("ogham space") << 0x1680u << true;
    QTest::newRow("one dot leader") << 0x2024u << true;
    QTest::newRow("superscript one") << 0x00B9u << true;
}

void tst_WinPaths::codePageHazards()
{
    QFETCH(uint, codePoint);
    QFETCH(bool, changes);
    QCOMPARE(changesInCodePage(char32_t(codePoint)), changes);
}

// The flags each code page allows: a call with flags Windows refuses fails
// for every name, and the installer would take that for the user's folder.
void tst_WinPaths::codePageFlags_data()
{
    QTest::addColumn<uint>("codePage");
    QTest::addColumn<qulonglong>("flags");
    QTest::addColumn<bool>("askUsedDefault");
    QTest::addColumn<qulonglong>("backFlags");
    const qulonglong noBestFit = 0x400, errInvalid = 0x80, mbErrInvalid = 0x8;
    QTest::newRow("437, best fit turned off") << 437u << noBestFit << true << mbErrInvalid;
    QTest::newRow("866") << 866u << noBestFit << true << mbErrInvalid;
    QTest::newRow("932, Japanese") << 932u << noBestFit << true << mbErrInvalid;
    QTest::newRow("1252, an ANSI code page") << 1252u << noBestFit << true << mbErrInvalid;
    QTest::newRow("65001, UTF-8") << 65001u << errInvalid << false << mbErrInvalid;
    QTest::newRow("54936, GB18030") << 54936u << errInvalid << false << mbErrInvalid;
    for (const uint codePage : {42u, 50220u, 50221u, 50222u, 50225u, 50227u, 50229u, 52936u, 57002u,
                                57006u, 57011u, 65000u})
        QTest::newRow(qPrintable(QStringLiteral("%1, flags 0").arg(codePage)))
            << codePage << qulonglong(0) << false << qulonglong(0);
    QTest::newRow("57012, past the ISCII range") << 57012u << noBestFit << true << mbErrInvalid;
}

void tst_WinPaths::codePageFlags()
{
    QFETCH(uint, codePage);
    QFETCH(qulonglong, flags);
    QFETCH(bool, askUsedDefault);
    QFETCH(qulonglong, backFlags);
    const CodePageFlags how = wideToCodePageFlags(codePage);
    QCOMPARE(qulonglong(how.flags), flags);
    QCOMPARE(how.askUsedDefault, askUsedDefault);
    QCOMPARE(qulonglong(how.backFlags), backFlags);
}

QTEST_GUILESS_MAIN(tst_WinPaths)
#include "tst_winpaths.moc"
