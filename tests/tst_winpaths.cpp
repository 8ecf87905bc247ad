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
};

using Problem = WindowsPath::Problem;

void tst_WinPaths::fullPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("currentDir");
    QTest::addColumn<QString>("expected"); // text(), framework form
    QTest::addColumn<bool>("isRoot");
    QTest::addColumn<Problem>("problem");
    const QString cwd = QStringLiteral("C:\\Users\\u\\Downloads");

    QTest::newRow("plain") << "C:\\Users\\u\\AppData\\Local\\Tambrix" << cwd
                           << "C:/Users/u/AppData/Local/Tambrix" << false << Problem::None;
    QTest::newRow("forward slashes")
        << "C:/Users/u/Apps" << cwd << "C:/Users/u/Apps" << false << Problem::None;
    QTest::newRow("lower-case drive") << "c:\\Apps" << cwd << "C:/Apps" << false << Problem::None;
    QTest::newRow("trailing dot") << "C:/Users/u." << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("trailing blank and separator")
        << "C:/Users/u /" << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("dots and blanks mixed")
        << "C:\\Users\\u. . .\\" << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("trailing dot inside")
        << "C:/Users./u/Desktop" << cwd << "C:/Users/u/Desktop" << false << Problem::None;
    QTest::newRow("only dots is nothing")
        << "C:/Users/u/..." << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("dot dot") << "C:/Users/u/Documents/.." << cwd << "C:/Users/u" << false
                             << Problem::None;
    QTest::newRow("dot dot with blank")
        << "C:/Users/u/Apps/.. " << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("dot dot above the root")
        << "C:/../../Users" << cwd << "C:/Users" << false << Problem::None;
    QTest::newRow("dot") << "C:/./Users/./u" << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("doubled separators")
        << "C:\\\\Users//u" << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("drive root") << "C:\\" << cwd << "C:/" << true << Problem::None;
    QTest::newRow("bare drive, other than current")
        << "D:" << cwd << "D:/" << true << Problem::None;
    QTest::newRow("bare drive is the current folder")
        << "C:" << cwd << "C:/Users/u/Downloads" << false << Problem::None;
    QTest::newRow("drive-relative")
        << "C:Apps" << cwd << "C:/Users/u/Downloads/Apps" << false << Problem::None;
    QTest::newRow("root of current drive")
        << "\\Apps" << cwd << "C:/Apps" << false << Problem::None;
    QTest::newRow("relative") << "..\\Desktop" << cwd << "C:/Users/u/Desktop" << false
                              << Problem::None;
    QTest::newRow("UNC share") << "\\\\server\\share" << cwd << "//server/share" << true
                               << Problem::None;
    QTest::newRow("UNC share, forward")
        << "//server/share/" << cwd << "//server/share" << true << Problem::None;
    QTest::newRow("UNC server alone") << "\\\\server" << cwd << "//server" << true << Problem::None;
    QTest::newRow("UNC folder") << "\\\\server\\share\\Apps\\." << cwd << "//server/share/Apps"
                                << false << Problem::None;
    QTest::newRow("UNC dot dot stays in the share")
        << "\\\\server\\share\\..\\..\\other" << cwd << "//server/share/other" << false
        << Problem::None;
    QTest::newRow("long prefix") << "\\\\?\\C:\\Users\\u" << cwd << "C:/Users/u" << false
                                 << Problem::None;
    QTest::newRow("long prefix, trailing dot")
        << "\\\\?\\C:\\Users\\u." << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("device prefix")
        << "\\\\.\\C:\\Users\\u\\" << cwd << "C:/Users/u" << false << Problem::None;
    QTest::newRow("NT prefix") << "\\??\\C:\\Users" << cwd << "C:/Users" << false << Problem::None;
    QTest::newRow("long prefix drive root")
        << "\\\\?\\C:\\" << cwd << "C:/" << true << Problem::None;
    QTest::newRow("long UNC prefix")
        << "\\\\?\\UNC\\server\\share\\x" << cwd << "//server/share/x" << false << Problem::None;
    QTest::newRow("long UNC prefix, share root")
        << "//?/unc/server/share" << cwd << "//server/share" << true << Problem::None;
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
        << Problem::None;
    QTest::newRow("POSIX path") << "/home/u/.local/share/Tambrix"
                                << "/home/u"
                                << "/home/u/.local/share/Tambrix" << false << Problem::None;
    QTest::newRow("POSIX root") << "/"
                                << "/home/u"
                                << "/" << true << Problem::None;
    QTest::newRow("POSIX relative") << "../v"
                                    << "/home/u"
                                    << "/home/v" << false << Problem::None;
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
    QTest::addColumn<bool>("directChild"); // folder directly inside other

    QTest::newRow("same, other case") << "c:/users/U"
                                      << "C:\\Users\\u" << true << false;
    QTest::newRow("Cyrillic, other case")
        << QStringLiteral("C:/Users/Пётр") << QStringLiteral("C:/USERS/ПЁТР") << true << false;
    QTest::newRow("ancestor") << "C:/Users"
                              << "C:/Users/u/AppData/Local" << true << false;
    QTest::newRow("descendant is not ancestor") << "C:/Users/u/Apps"
                                                << "C:/Users/u" << false << true;
    QTest::newRow("whole components only") << "C:/Users/u"
                                           << "C:/Users/uu" << false << false;
    QTest::newRow("other drive") << "D:/Users/u"
                                 << "C:/Users/u" << false << false;
    QTest::newRow("profile inside profiles") << "C:/Users/other"
                                             << "C:/Users" << false << true;
    QTest::newRow("deeper is not a direct child") << "C:/Users/other/Apps"
                                                  << "C:/Users" << false << false;
    QTest::newRow("share, other case") << "//SERVER/Share"
                                       << "\\\\server\\share\\x" << true << false;
    // No multi-character case mapping: ß is not SS to Windows.
    QTest::newRow("sharp s is its own letter")
        << QStringLiteral("C:/Straße") << QStringLiteral("C:/STRASSE") << false << false;
}

void tst_WinPaths::sameFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, other);
    QFETCH(bool, sameOrAncestor);
    QFETCH(bool, directChild);
    const QString cwd = QStringLiteral("C:/");
    const WindowsPath a = parseWindowsPath(folder, cwd);
    const WindowsPath b = parseWindowsPath(other, cwd);
    QCOMPARE(isSameOrAncestor(a, b), sameOrAncestor);
    QCOMPARE(isDirectChild(a, b), directChild);
}

void tst_WinPaths::resolved_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");

    QTest::newRow("nothing exists: as spelt") << "D:/New/Folder"
                                              << "D:/New/Folder";
    QTest::newRow("8.3 profile") << "C:/Users/JOHNSM~1"
                                 << "C:/Users/johnsmith";
    QTest::newRow("8.3 AppData, rest kept") << "C:\\Users\\johnsmith\\APPDAT~1\\Local"
                                            << "C:/Users/johnsmith/AppData/Local";
    QTest::newRow("8.3 in a missing tail is a new name") << "C:/Users/johnsmith/APPDAT~1/NEWDIR~1"
                                                         << "C:/Users/johnsmith/AppData/NEWDIR~1";
    QTest::newRow("junction to the profile") << "C:/Apps/Link"
                                             << "C:/Users/johnsmith";
    QTest::newRow("folder below a junction") << "C:/Apps/Link/Desktop/x"
                                             << "C:/Users/johnsmith/Desktop/x";
    QTest::newRow("link to a share") << "C:/Apps/ShareLink/y"
                                     << "//server/share/y";
    QTest::newRow("trailing dot, then 8.3") << "C:/Users/JOHNSM~1."
                                            << "C:/Users/johnsmith";
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
    };
    PathResolver resolver{[&](const QString &p) { return finalPaths.contains(p); },
                          [&](const QString &p) {
                              return finalPaths.value(p);
                          }};
    QCOMPARE(resolveWindowsPath(path, QStringLiteral("C:/"), resolver).text(), expected);
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
    QCOMPARE(fileNameComponentFault(name), fault);
}

QTEST_GUILESS_MAIN(tst_WinPaths)
#include "tst_winpaths.moc"
