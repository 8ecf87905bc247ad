// System integration: shortcuts through the powershell stand-in, the
// uninstall script byte for byte, and the Add/Remove Programs entry as the
// registry key file holds it.
#include "testenv.h"

#include "installer.h"

#include <QStringDecoder>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// SHA-256 of the 16 lines of the uninstall script as published, each ended
// by CR LF; computed from that text, not from the installer's constant.
const QByteArray uninstallScriptSha256 =
    "fc2f47cb212c4a97c59a2f9215cbc6b027b32d9503f68000e690031b27da24c0";

QString keyFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QLatin1String("/TambrixSetup/registry/HKEY_CURRENT_USER/Software/Microsoft/Windows/"
                         "CurrentVersion/Uninstall/Tambrix.reg");
}

QStringList keyFileLines()
{
    const QByteArray bytes = testenv::readAll(keyFile());
    if (!bytes.startsWith("\xFF\xFE"))
        return {QStringLiteral("<no UTF-16LE byte-order mark>")};
    QStringDecoder decoder(QStringDecoder::Utf16LE);
    const QString text = decoder(bytes.mid(2));
    return text.split(QStringLiteral("\r\n"));
}

QString windowsSeparators(const QString &path)
{
    return QString(path).replace(QLatin1Char('/'), QLatin1Char('\\'));
}

} // namespace

class tst_Integration : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void uninstallScriptBytes();
    void uninstallScriptReplacesOlderFile();
    void uninstallScriptFailures_data();
    void uninstallScriptFailures();
    void shortcut_data();
    void shortcut();
    void shortcutFailures_data();
    void shortcutFailures();
    void arpValuesWindowsForms_data();
    void arpValuesWindowsForms();
    void estimatedSize_data();
    void estimatedSize();
    void registryKeyFile();
    void registryRewriteKeepsForeignValues();

private:
    QString path(const QString &relative) const
    {
        return work->path() + QLatin1Char('/') + relative;
    }
    QScopedPointer<QTemporaryDir> work;
};

void tst_Integration::init()
{
    work.reset(new QTemporaryDir(testenv::environment().temp() + QLatin1String("/int-XXXXXX")));
    QVERIFY2(work->isValid(), qPrintable(work->errorString()));
    QFile::remove(keyFile());
}

void tst_Integration::uninstallScriptBytes()
{
    const QString folder = path(QStringLiteral("Team's Apps/Tambrix"));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeUninstallScript(folder));
    const QByteArray bytes = testenv::readAll(folder + QLatin1String("/Uninstall.cmd"));
    QCOMPARE(bytes.size(), 884);
    QCOMPARE(testenv::sha256Hex(bytes), uninstallScriptSha256);
    QCOMPARE(bytes.count("\r\n"), 16);
    QCOMPARE(bytes.count('\n'), 16);
    QVERIFY(bytes.endsWith("\r\n"));
    QVERIFY(!bytes.startsWith("\xEF\xBB\xBF"));
    for (const char c : bytes)
        QVERIFY2(uchar(c) < 0x80, "the script must be plain ASCII");
    QVERIFY(bytes.startsWith("@echo off\r\nsetlocal EnableExtensions\r\ncd /d \"%~dp0\"\r\n"));
    QVERIFY(bytes.contains("\r\n  echo del \"%%~f0\"\r\n"));
}

void tst_Integration::uninstallScriptReplacesOlderFile()
{
    const QString folder = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(folder + QLatin1String("/Uninstall.cmd"), QByteArray(5000, 'x')));
    QVERIFY(writeUninstallScript(folder));
    const QByteArray bytes = testenv::readAll(folder + QLatin1String("/Uninstall.cmd"));
    QCOMPARE(bytes.size(), 884);
    QCOMPARE(testenv::sha256Hex(bytes), uninstallScriptSha256);
}

void tst_Integration::uninstallScriptFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("read-only file") << QStringLiteral("read-only");
    QTest::newRow("a folder in the way") << QStringLiteral("folder");
    QTest::newRow("install folder missing") << QStringLiteral("missing");
    QTest::newRow("disk full") << QStringLiteral("full");
}

void tst_Integration::uninstallScriptFailures()
{
    QFETCH(QString, kind);
    const QString folder = path(QStringLiteral("Tambrix"));
    const QString script = folder + QLatin1String("/Uninstall.cmd");
    bool ok = true;
    if (kind == QLatin1String("read-only")) {
        if (geteuid() == 0)
            QSKIP("root writes to read-only files; the folder row covers an unwritable target");
        QVERIFY(testenv::writeFile(script, "old"));
        QVERIFY(QFile::setPermissions(script, QFile::ReadOwner));
        ok = writeUninstallScript(folder);
        QCOMPARE(testenv::readAll(script), QByteArray("old"));
    } else if (kind == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(script));
        ok = writeUninstallScript(folder);
    } else if (kind == QLatin1String("missing")) {
        ok = writeUninstallScript(path(QStringLiteral("no such folder")));
    } else {
        QVERIFY(QDir().mkpath(folder));
        rlimit saved{};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = saved;
        limited.rlim_cur = 500;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
        ok = writeUninstallScript(folder);
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    }
    QVERIFY(!ok);
}

void tst_Integration::shortcut_data()
{
    QTest::addColumn<QString>("folderName");
    QTest::addColumn<bool>("withIcon");
    QTest::newRow("plain, icon file") << QStringLiteral("Tambrix") << true;
    QTest::newRow("plain, no icon file") << QStringLiteral("Tambrix") << false;
    QTest::newRow("apostrophe") << QStringLiteral("Team's Apps") << true;
    QTest::newRow("right single quote") << QStringLiteral("O’Brien") << false;
    QTest::newRow("placeholder text") << QStringLiteral("%2 and %1") << true;
    QTest::newRow("cyrillic and brackets") << QStringLiteral("Программы [x64]") << false;
}

void tst_Integration::shortcut()
{
    QFETCH(QString, folderName);
    QFETCH(bool, withIcon);
    const QString install = path(folderName + QLatin1String("/Tambrix"));
    QVERIFY(QDir().mkpath(install));
    if (withIcon)
        QVERIFY(testenv::writeFile(install + QLatin1String("/tambrix.ico"), "ico"));
    const QString target = install + QLatin1String("/TambrixDesktop.exe");
    // The Programs folder does not exist yet; an older link lies on the desktop.
    const QString programs = path(folderName + QLatin1String("/Start Menu/Programs"));
    const QString desktop = path(QStringLiteral("Desktop"));
    QVERIFY(testenv::writeFile(desktop + QLatin1String("/Tambrix.lnk"), "an older link"));

    const QByteArray expected =
        "[Tambrix shortcut]\nTargetPath=" + target.toUtf8() +
        "\nWorkingDirectory=" + install.toUtf8() +
        "\nIconLocation=" + (withIcon ? install + QLatin1String("/tambrix.ico") : target).toUtf8() +
        ",0\nDescription=Tambrix\n";
    for (const QString &folder : {programs, desktop}) {
        QString error = QStringLiteral("untouched");
        QVERIFY2(createShortcut(folder + QLatin1String("/Tambrix.lnk"), target, install, error),
                 qPrintable(error));
        QCOMPARE(error, QStringLiteral("untouched"));
        QCOMPARE(testenv::readAll(folder + QLatin1String("/Tambrix.lnk")), expected);
    }
}

void tst_Integration::shortcutFailures_data()
{
    QTest::addColumn<QByteArray>("fakeScript"); // empty: no powershell at all
    QTest::addColumn<QString>("expected");
    QTest::newRow("silent failure")
        << QByteArray("exit 1") << QStringLiteral("Не удалось создать ярлык");
    QTest::newRow("stderr, trimmed")
        << QByteArray("printf '\\nException calling \"Save\"\\n  at line 1\\n\\n' >&2; exit 1")
        << QStringLiteral("Exception calling \"Save\"\n  at line 1");
    // PowerShell reports an error that does not stop the script and still
    // exits with 0: the error counts.
    QTest::newRow("stderr with exit 0 is a failure")
        << QByteArray("echo 'Exception calling \"Save\"' >&2; exit 0")
        << QStringLiteral("Exception calling \"Save\"");
    QTest::newRow("exit 0, nothing on stderr") << QByteArray("exit 0") << QString();
    QTest::newRow("powershell missing")
        << QByteArray() << QStringLiteral("Не удалось создать ярлык");
}

void tst_Integration::shortcutFailures()
{
    QFETCH(QByteArray, fakeScript);
    QFETCH(QString, expected);
    const QByteArray savedPath = qgetenv("PATH");
    QScopedPointer<testenv::FakeProgram> fake;
    if (fakeScript.isEmpty())
        qputenv("PATH", QFile::encodeName(path(QStringLiteral("empty-bin"))));
    else
        fake.reset(new testenv::FakeProgram(path(QStringLiteral("fake-bin")),
                                            QStringLiteral("powershell"), fakeScript));
    QString error = QStringLiteral("untouched");
    const bool ok = createShortcut(path(QStringLiteral("Desktop/Tambrix.lnk")),
                                   path(QStringLiteral("Tambrix/TambrixDesktop.exe")),
                                   path(QStringLiteral("Tambrix")), error);
    qputenv("PATH", savedPath);
    if (expected.isEmpty()) {
        QVERIFY(ok);
        QCOMPARE(error, QStringLiteral("untouched"));
    } else {
        QVERIFY(!ok);
        QCOMPARE(error, expected);
    }
    QVERIFY(QFileInfo(path(QStringLiteral("Desktop"))).isDir()); // made before the run
}

void tst_Integration::arpValuesWindowsForms_data()
{
    QTest::addColumn<QString>("installFolder");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("command");
    QTest::newRow("default folder")
        << QStringLiteral("C:/Users/user/AppData/Local/Tambrix") << QStringLiteral("1.4.2")
        << QStringLiteral("C:\\Users\\user\\AppData\\Local\\Tambrix")
        << QStringLiteral("C:\\Users\\user\\AppData\\Local\\Tambrix\\TambrixDesktop.exe,0")
        << QStringLiteral(
               "cmd.exe /C \"\"C:\\Users\\user\\AppData\\Local\\Tambrix\\Uninstall.cmd\"\"");
    QTest::newRow("blanks, apostrophe, version kept")
        << QStringLiteral("D:/Team's Apps/Tambrix") << QStringLiteral(" v2.0 ")
        << QStringLiteral("D:\\Team's Apps\\Tambrix")
        << QStringLiteral("D:\\Team's Apps\\Tambrix\\TambrixDesktop.exe,0")
        << QStringLiteral("cmd.exe /C \"\"D:\\Team's Apps\\Tambrix\\Uninstall.cmd\"\"");
}

void tst_Integration::arpValuesWindowsForms()
{
    QFETCH(QString, installFolder);
    QFETCH(QString, version);
    QFETCH(QString, location);
    QFETCH(QString, icon);
    QFETCH(QString, command);
    const QList<RegistryValue> values = arpValues(installFolder, version, 4096, &windowsSeparators);
    QStringList names;
    for (const RegistryValue &v : values)
        names << v.name;
    QCOMPARE(names, (QStringList{QStringLiteral("DisplayName"), QStringLiteral("DisplayVersion"),
                                 QStringLiteral("Publisher"), QStringLiteral("InstallLocation"),
                                 QStringLiteral("DisplayIcon"), QStringLiteral("UninstallString"),
                                 QStringLiteral("QuietUninstallString"), QStringLiteral("NoModify"),
                                 QStringLiteral("NoRepair"), QStringLiteral("EstimatedSize"),
                                 QStringLiteral("URLInfoAbout")}));
    QCOMPARE(values[1].text, version);
    QCOMPARE(values[3].text, location);
    QCOMPARE(values[4].text, icon);
    QCOMPARE(values[5].text, command);
    QCOMPARE(values[6].text, command);
    QCOMPARE(values[9].type, RegistryValue::Dword);
    QCOMPARE(values[9].number, quint32(4));
}

void tst_Integration::estimatedSize_data()
{
    QTest::addColumn<QList<int>>("fileSizes"); // the last file is hidden
    QTest::addColumn<quint32>("kib");
    QTest::newRow("empty folder") << QList<int>{} << quint32(1);
    QTest::newRow("2047 bytes") << QList<int>{2000, 47} << quint32(1);
    QTest::newRow("2048 bytes") << QList<int>{2048} << quint32(2);
    QTest::newRow("1 MiB") << QList<int>{1048576} << quint32(1024);
    QTest::newRow("hidden file counted") << QList<int>{1024, 3072} << quint32(4);
}

void tst_Integration::estimatedSize()
{
    QFETCH(QList<int>, fileSizes);
    QFETCH(quint32, kib);
    const QString folder = path(QStringLiteral("Tambrix"));
    QVERIFY(QDir().mkpath(folder + QLatin1String("/sub")));
    for (int i = 0; i < fileSizes.size(); ++i) {
        const bool last = i == fileSizes.size() - 1;
        const QString name = last ? QStringLiteral("sub/.hidden") : QStringLiteral("file%1").arg(i);
        QVERIFY(
            testenv::writeFile(folder + QLatin1Char('/') + name, QByteArray(fileSizes[i], 'b')));
    }
    QCOMPARE(estimatedSizeKiB(totalFileBytes(folder)), kib);
}

void tst_Integration::registryKeyFile()
{
    const QString install = path(QStringLiteral("Tambrix \"quoted\""));
    QVERIFY(
        testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), QByteArray(3000, 'e')));
    QVERIFY(testenv::writeFile(install + QLatin1String("/tambrix.ico"), QByteArray(100, 'i')));
    registerArpEntry(install, QStringLiteral("1.4.2"));

    auto quoted = [](QString text) {
        text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
        text.replace(QLatin1Char('"'), QLatin1String("\\\""));
        return QLatin1Char('"') + text + QLatin1Char('"');
    };
    const QString command = QStringLiteral("cmd.exe /C \"\"%1/Uninstall.cmd\"\"").arg(install);
    const QStringList expected = {
        QStringLiteral("Windows Registry Editor Version 5.00"),
        QString(),
        QStringLiteral("[HKEY_CURRENT_"
                       "USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tambrix]"),
        QStringLiteral("\"DisplayName\"=\"Tambrix\""),
        QStringLiteral("\"DisplayVersion\"=\"1.4.2\""),
        QStringLiteral("\"Publisher\"=\"Tambrix\""),
        QStringLiteral("\"InstallLocation\"=") + quoted(install),
        QStringLiteral("\"DisplayIcon\"=") + quoted(install + QLatin1String("/tambrix.ico")),
        QStringLiteral("\"UninstallString\"=") + quoted(command),
        QStringLiteral("\"QuietUninstallString\"=") + quoted(command),
        QStringLiteral("\"NoModify\"=dword:00000001"),
        QStringLiteral("\"NoRepair\"=dword:00000001"),
        QStringLiteral("\"EstimatedSize\"=dword:00000003"),
        QStringLiteral("\"URLInfoAbout\"=\"https://tambrix.example\""),
        QString(),
        QString(),
    };
    QCOMPARE(keyFileLines(), expected);
}

void tst_Integration::registryRewriteKeepsForeignValues()
{
    // A key as another tool left it: a value of its own between ours.
    const QString header = QStringLiteral(
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tambrix]"
        "\r\n");
    // Registry names ignore case: "displayversion" is our DisplayVersion.
    const QString older = header + QStringLiteral("\"DisplayName\"=\"Tambrix\"\r\n"
                                                  "\"displayversion\"=\"1.0\"\r\n"
                                                  "\"Comments\"=\"kept \\\"as is\\\"\"\r\n"
                                                  "\"EstimatedSize\"=dword:00000400\r\n\r\n");
    QByteArray bytes("\xFF\xFE", 2);
    for (const QChar c : older) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    QVERIFY(testenv::writeFile(keyFile(), bytes));

    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "e"));
    registerArpEntry(install, QStringLiteral("2.0"));
    registerArpEntry(install, QStringLiteral("2.1"));
    const QStringList lines = keyFileLines();
    QCOMPARE(lines.size(), 3 + 12 + 2);
    QCOMPARE(lines[3], QStringLiteral("\"DisplayName\"=\"Tambrix\""));
    QCOMPARE(lines[4], QStringLiteral("\"DisplayVersion\"=\"2.1\""));
    QCOMPARE(lines[5], QStringLiteral("\"Comments\"=\"kept \\\"as is\\\"\""));
    QCOMPARE(lines[6], QStringLiteral("\"EstimatedSize\"=dword:00000001"));
    QCOMPARE(lines[7], QStringLiteral("\"Publisher\"=\"Tambrix\""));
    QCOMPARE(lines[14], QStringLiteral("\"URLInfoAbout\"=\"https://tambrix.example\""));
    QCOMPARE(lines.filter(QStringLiteral("DisplayVersion"), Qt::CaseInsensitive).size(), 1);
}

QTEST_MAIN(tst_Integration)
#include "tst_integration.moc"
