// The powershell and taskkill stand-ins: exactly the installer's scripts are
// accepted, their effect lands on disk, and everything else is refused.
#include "testenv.h"
#include "ziphelper.h"

#include "installer.h"

#include <QDirIterator>

#include <QFileInfo>
#include <QSet>

#include <csignal>

namespace {

struct Outcome
{
    bool finished = false;
    QProcess::ExitStatus status = QProcess::CrashExit;
    int code = -1;
    QString standardError;
};

Outcome runStandIn(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(TAMBRIX_PLATFORM_BIN "/") + program, arguments);
    Outcome outcome;
    outcome.finished = process.waitForFinished(60000);
    outcome.status = process.exitStatus();
    outcome.code = process.exitCode();
    outcome.standardError = QString::fromUtf8(process.readAllStandardError()).trimmed();
    return outcome;
}

Outcome runScript(const QString &script)
{
    return runStandIn(QStringLiteral("powershell"),
                      {QStringLiteral("-NoProfile"), QStringLiteral("-Command"), script});
}

QString expandScript(const QString &zip, const QString &destination)
{
    return QStringLiteral("Expand-Archive -LiteralPath '%1' -DestinationPath '%2' -Force")
        .arg(escapePowerShellLiteral(zip), escapePowerShellLiteral(destination));
}

QString buildCopyScript(const QString &install, const QString &root)
{
    return QStringLiteral(
               "if (Test-Path -LiteralPath '%1') {   Get-ChildItem -LiteralPath '%2' -Force | "
               "ForEach-Object {     $dest = Join-Path '%1' $_.Name;     if (Test-Path "
               "-LiteralPath $dest) { Remove-Item -LiteralPath $dest -Recurse -Force };     "
               "Copy-Item -LiteralPath $_.FullName -Destination $dest -Recurse -Force   } } else "
               "{   New-Item -ItemType Directory -Path '%1' -Force | Out-Null;   Copy-Item -Path "
               "(Join-Path '%2' '*') -Destination '%1' -Recurse -Force }")
        .arg(escapePowerShellLiteral(install), escapePowerShellLiteral(root));
}

QString buildMoveScript(const QString &nested, const QString &install)
{
    return QStringLiteral("Get-ChildItem -LiteralPath '%1' -Force | ForEach-Object {   "
                          "Move-Item -LiteralPath $_.FullName -Destination '%2' -Force }; "
                          "Remove-Item -LiteralPath '%1' -Recurse -Force -ErrorAction "
                          "SilentlyContinue")
        .arg(escapePowerShellLiteral(nested), escapePowerShellLiteral(install));
}

QString buildShortcutScript(const QString &link, const QString &target, const QString &folder,
                            const QString &icon)
{
    return QStringLiteral("$s = New-Object -ComObject WScript.Shell; $l = "
                          "$s.CreateShortcut('%1'); $l.TargetPath = '%2'; $l.WorkingDirectory = "
                          "'%3'; $l.IconLocation = '%4'; $l.Description = 'Tambrix'; $l.Save()")
        .arg(escapePowerShellLiteral(link), escapePowerShellLiteral(target),
             escapePowerShellLiteral(folder), escapePowerShellLiteral(icon));
}

} // namespace

class tst_StandIns : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void expandArchive_data();
    void expandArchive();
    void expandRefusesHostileArchives_data();
    void expandRefusesHostileArchives();
    void linkEntriesBecomeFiles_data();
    void linkEntriesBecomeFiles();
    void expandFailures_data();
    void expandFailures();
    void copyScript_data();
    void copyScript();
    void moveScript();
    void shortcut_data();
    void shortcut();
    void shortcutFailures();
    void nearMissesRefused_data();
    void nearMissesRefused();
    void malformedUtf8Refused_data();
    void malformedUtf8Refused();
    void taskkillEndsMatchingProcesses_data();
    void taskkillEndsMatchingProcesses();
    void taskkillEndsListedProcesses();
    void taskkillUsage_data();
    void taskkillUsage();

private:
    QScopedPointer<QTemporaryDir> work;
};

bool holdsPatternCharacter(const QString &path)
{
    return path.contains(QLatin1Char('[')) || path.contains(QLatin1Char(']')) ||
           path.contains(QLatin1Char('*')) || path.contains(QLatin1Char('?'));
}

void tst_StandIns::init()
{
    work.reset(new QTemporaryDir(testenv::environment().temp() + QLatin1String("/standin-XXXXXX")));
    QVERIFY2(work->isValid(), qPrintable(work->errorString()));
}

void tst_StandIns::expandArchive_data()
{
    testenv::addHostileNameRows();
}

void tst_StandIns::expandArchive()
{
    QFETCH(QString, name);
    const QString base = work->path() + QLatin1Char('/') + name;
    QVERIFY(QDir().mkpath(base));
    const QString zip = base + QLatin1String("/pkg [1].zip");
    QVERIFY(testzip::write(zip, {testzip::makeFolder("app/"),
                                 testzip::makeFile("app/TambrixDesktop.exe", "ELF", 0755),
                                 testzip::makeFile("app/.hidden", "h"),
                                 testzip::makeFile("app/data/Тест.txt", "текст"),
                                 testzip::makeSymlink("app/current", "data")}));
    const QString destination = base + QLatin1String("/stage ") + name;
    // An existing file is overwritten (-Force).
    QVERIFY(testenv::writeFile(destination + QLatin1String("/app/.hidden"), "old"));

    const Outcome outcome = runScript(expandScript(zip, destination));
    // As real PowerShell does: -DestinationPath is a pattern, so an existing
    // destination holding [ ] * ? is not found, and cannot be made anew.
    if (holdsPatternCharacter(destination)) {
        QCOMPARE(outcome.code, 1);
        QCOMPARE(outcome.standardError,
                 QStringLiteral("New-Item : An item with the specified name %1 already exists.")
                     .arg(destination));
        QCOMPARE(testenv::treeOf(destination),
                 (QMap<QString, QByteArray>{{QStringLiteral("app/"), QByteArray()},
                                            {QStringLiteral("app/.hidden"), "old"}}));
        return;
    }
    QVERIFY2(outcome.finished && outcome.code == 0, qPrintable(outcome.standardError));
    const auto tree = testenv::treeOf(destination);
    QCOMPARE(tree.value(QStringLiteral("app/TambrixDesktop.exe")), QByteArray("ELF"));
    QCOMPARE(tree.value(QStringLiteral("app/.hidden")), QByteArray("h"));
    QCOMPARE(tree.value(QStringLiteral("app/data/Тест.txt")), QByteArray("текст"));
    // The .NET zip reader knows no links: a link entry is a file holding
    // its target.
    QCOMPARE(tree.value(QStringLiteral("app/current")), QByteArray("data"));
    QVERIFY(QFileInfo(destination + QLatin1String("/app/TambrixDesktop.exe")).isExecutable());
    QVERIFY(!QFileInfo(destination + QLatin1String("/app/.hidden")).isExecutable());
}

void tst_StandIns::expandRefusesHostileArchives_data()
{
    QTest::addColumn<QList<testzip::Entry>>("entries");
    QTest::addColumn<QString>("namedEntry");
    using namespace testzip;
    QTest::newRow("dot-dot") << QList<Entry>{makeFile("ok.txt", "1"), makeFile("../evil.txt", "x")}
                             << QStringLiteral("../evil.txt");
    QTest::newRow("dot-dot inside")
        << QList<Entry>{makeFile("a/../../evil.txt", "x")} << QStringLiteral("a/../../evil.txt");
    QTest::newRow("absolute") << QList<Entry>{makeFile("/tmp/evil.txt", "x")}
                              << QStringLiteral("/tmp/evil.txt");
}

// Links pointing anywhere are harmless: each becomes a file in the
// destination holding the link's target, as the .NET zip reader writes it.
void tst_StandIns::linkEntriesBecomeFiles_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("link out") << QByteArray("link") << QByteArray("../..");
    QTest::newRow("link absolute") << QByteArray("etc") << QByteArray("/etc");
    QTest::newRow("link out from a folder") << QByteArray("a/b/up") << QByteArray("../../../x");
}

void tst_StandIns::linkEntriesBecomeFiles()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, target);
    const QString zip = work->path() + QLatin1String("/links.zip");
    QVERIFY(
        testzip::write(zip, {testzip::makeSymlink(name, target), testzip::makeFile("ok", "1")}));
    const QString destination = work->path() + QLatin1String("/a/b/stage");
    const Outcome outcome = runScript(expandScript(zip, destination));
    QVERIFY2(outcome.code == 0 && outcome.standardError.isEmpty(),
             qPrintable(outcome.standardError));
    QCOMPARE(testenv::readAll(destination + QLatin1Char('/') + QString::fromUtf8(name)), target);
    QVERIFY(!QFileInfo(destination + QLatin1Char('/') + QString::fromUtf8(name)).isSymLink());
    QCOMPARE(testenv::readAll(destination + QLatin1String("/ok")), QByteArray("1"));
}

void tst_StandIns::expandRefusesHostileArchives()
{
    QFETCH(QList<testzip::Entry>, entries);
    QFETCH(QString, namedEntry);
    const QString zip = work->path() + QLatin1String("/hostile.zip");
    QVERIFY(testzip::write(zip, entries));
    const QString destination = work->path() + QLatin1String("/a/b/stage");
    const auto before = testenv::treeOf(work->path());

    const Outcome outcome = runScript(expandScript(zip, destination));
    QCOMPARE(outcome.code, 1);
    QVERIFY2(outcome.standardError.contains(QLatin1Char('\'') + namedEntry + QLatin1Char('\'')),
             qPrintable(outcome.standardError));
    // Nothing is written anywhere, inside the destination or out of it.
    auto after = testenv::treeOf(work->path());
    after.remove(QStringLiteral("a/"));
    after.remove(QStringLiteral("a/b/"));
    after.remove(QStringLiteral("a/b/stage/"));
    QCOMPARE(after, before);
}

void tst_StandIns::expandFailures_data()
{
    QTest::addColumn<QByteArray>("zipContent");
    QTest::addColumn<QString>("zipName");
    QTest::addColumn<QString>("expectedStart");
    QTest::newRow("missing") << QByteArray() << QStringLiteral("missing.zip")
                             << QStringLiteral("Expand-Archive : The path '");
    QTest::newRow("not a zip") << QByteArray("this is not a zip archive at all")
                               << QStringLiteral("text.zip")
                               << QStringLiteral("Expand-Archive : The archive file '");
    QTest::newRow("wrong extension") << QByteArray("PK") << QStringLiteral("package.rar")
                                     << QStringLiteral("Expand-Archive : .rar is not a supported");
}

void tst_StandIns::expandFailures()
{
    QFETCH(QByteArray, zipContent);
    QFETCH(QString, zipName);
    QFETCH(QString, expectedStart);
    const QString zip = work->path() + QLatin1Char('/') + zipName;
    if (!zipContent.isEmpty())
        QVERIFY(testenv::writeFile(zip, zipContent));
    const Outcome outcome = runScript(expandScript(zip, work->path() + QLatin1String("/stage")));
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.code, 1);
    QVERIFY2(outcome.standardError.startsWith(expectedStart), qPrintable(outcome.standardError));
}

void tst_StandIns::copyScript_data()
{
    testenv::addHostileNameRows();
}

void tst_StandIns::copyScript()
{
    QFETCH(QString, name);
    const QString root = work->path() + QLatin1String("/stage/") + name;
    QVERIFY(testenv::writeFile(root + QLatin1String("/TambrixDesktop.exe"), "new exe"));
    QVERIFY(testenv::writeFile(root + QLatin1String("/.config"), "new hidden"));
    QVERIFY(testenv::writeFile(root + QLatin1String("/lib/a.dll"), "new a"));

    // Existing folder: items of the same name are replaced whole, others stay.
    const QString install = work->path() + QLatin1String("/Apps/") + name;
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "old exe"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/lib/old.dll"), "old"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/user.settings"), "keep"));
    Outcome outcome = runScript(buildCopyScript(install, root));
    QVERIFY2(outcome.code == 0, qPrintable(outcome.standardError));
    QMap<QString, QByteArray> expected{{QStringLiteral("TambrixDesktop.exe"), "new exe"},
                                       {QStringLiteral(".config"), "new hidden"},
                                       {QStringLiteral("lib/"), ""},
                                       {QStringLiteral("lib/a.dll"), "new a"},
                                       {QStringLiteral("user.settings"), "keep"}};
    QCOMPARE(testenv::treeOf(install), expected);

    // Missing folder: created, everything copied.
    const QString fresh = work->path() + QLatin1String("/New ") + name + QLatin1String("/x");
    outcome = runScript(buildCopyScript(fresh, root));
    QVERIFY2(outcome.code == 0, qPrintable(outcome.standardError));
    expected.remove(QStringLiteral("user.settings"));
    // As real PowerShell does: a root holding [ ] * ? makes Join-Path's
    // ROOT\* a pattern that matches nothing; the folder is made, and stays
    // empty, and nothing is said.
    if (holdsPatternCharacter(root)) {
        expected.clear();
        QVERIFY(outcome.standardError.isEmpty());
        QVERIFY(QFileInfo(fresh).isDir());
    }
    QCOMPARE(testenv::treeOf(fresh), expected);
}

void tst_StandIns::moveScript()
{
    const QString install = work->path() + QLatin1String("/It's here");
    const QString nested = install + QLatin1String("/Tambrix-2.0 ’x’");
    QVERIFY(testenv::writeFile(nested + QLatin1String("/TambrixDesktop.exe"), "exe"));
    QVERIFY(testenv::writeFile(nested + QLatin1String("/.hidden"), "h"));
    QVERIFY(testenv::writeFile(nested + QLatin1String("/sub/file"), "f"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe.bak"), "b"));
    const Outcome outcome = runScript(buildMoveScript(nested, install));
    QVERIFY2(outcome.code == 0, qPrintable(outcome.standardError));
    const QMap<QString, QByteArray> expected{{QStringLiteral("TambrixDesktop.exe"), "exe"},
                                             {QStringLiteral(".hidden"), "h"},
                                             {QStringLiteral("sub/"), ""},
                                             {QStringLiteral("sub/file"), "f"},
                                             {QStringLiteral("TambrixDesktop.exe.bak"), "b"}};
    QCOMPARE(testenv::treeOf(install), expected);
}

void tst_StandIns::shortcut_data()
{
    testenv::addHostileNameRows();
}

void tst_StandIns::shortcut()
{
    QFETCH(QString, name);
    const QString folder = work->path() + QLatin1Char('/') + name;
    QVERIFY(QDir().mkpath(folder));
    const QString link = folder + QLatin1String("/Tambrix.lnk");
    QVERIFY(testenv::writeFile(link, "an older link"));
    const QString target = folder + QLatin1String("/TambrixDesktop.exe");
    const Outcome outcome = runScript(
        buildShortcutScript(link, target, folder, folder + QLatin1String("/tambrix.ico,0")));
    QVERIFY2(outcome.code == 0, qPrintable(outcome.standardError));
    const QByteArray expected = "[Tambrix shortcut]\nTargetPath=" + target.toUtf8() +
                                "\nWorkingDirectory=" + folder.toUtf8() +
                                "\nIconLocation=" + folder.toUtf8() +
                                "/tambrix.ico,0\nDescription=Tambrix\n";
    QCOMPARE(testenv::readAll(link), expected);
}

void tst_StandIns::shortcutFailures()
{
    const QString missing = work->path() + QLatin1String("/no such folder/Tambrix.lnk");
    Outcome outcome = runScript(buildShortcutScript(missing, QStringLiteral("t"),
                                                    QStringLiteral("w"), QStringLiteral("t,0")));
    QCOMPARE(outcome.code, 1);
    QVERIFY2(outcome.standardError.contains(QLatin1String("Unable to save shortcut")),
             qPrintable(outcome.standardError));
    QVERIFY(!QFile::exists(missing));

    outcome = runScript(buildShortcutScript(work->path() + QLatin1String("/Tambrix.txt"),
                                            QStringLiteral("t"), QStringLiteral("w"),
                                            QStringLiteral("t,0")));
    QCOMPARE(outcome.code, 1);
    QVERIFY2(outcome.standardError.contains(QLatin1String("must end with .lnk")),
             qPrintable(outcome.standardError));
}

void tst_StandIns::nearMissesRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString zip = QStringLiteral("/nonexistent/p.zip");
    const QString good = expandScript(zip, QStringLiteral("/nonexistent/stage"));
    auto cmd = [](const QString &script) {
        return QStringList{QStringLiteral("-NoProfile"), QStringLiteral("-Command"), script};
    };
    QTest::newRow("one blank fewer")
        << cmd(QString(good).replace(QStringLiteral("' -Force"), QStringLiteral("'-Force")));
    QTest::newRow("one blank more")
        << cmd(QString(good).replace(QStringLiteral(" -Force"), QStringLiteral("  -Force")));
    QTest::newRow("trailing blank") << cmd(good + QLatin1Char(' '));
    QTest::newRow("lower case cmdlet") << cmd(
        QString(good).replace(QStringLiteral("Expand-Archive"), QStringLiteral("expand-archive")));
    QTest::newRow("unescaped right quote")
        << cmd(QStringLiteral("Expand-Archive -LiteralPath '/x/O’Brien.zip' -DestinationPath "
                              "'/x/stage' -Force"));
    QTest::newRow("unescaped apostrophe")
        << cmd(QStringLiteral("Expand-Archive -LiteralPath '/x/a'b.zip' -DestinationPath '/x/s' "
                              "-Force"));
    QTest::newRow("injected command")
        << cmd(QStringLiteral("Expand-Archive -LiteralPath '/x/a'; Remove-Item '/x' "
                              "-DestinationPath '/x/s' -Force"));
    QTest::newRow("double-quoted value")
        << cmd(QStringLiteral("Expand-Archive -LiteralPath \"/x/a.zip\" -DestinationPath '/x/s' "
                              "-Force"));
    QTest::newRow("typographic quotes around value")
        << cmd(QStringLiteral("Expand-Archive -LiteralPath ‘/x/a.zip’ -DestinationPath '/x/s' "
                              "-Force"));
    QTest::newRow("copy with two install folders")
        << cmd(buildCopyScript(QStringLiteral("/x/install"), QStringLiteral("/x/root"))
                   .replace(QStringLiteral("Join-Path '/x/install'"),
                            QStringLiteral("Join-Path '/x/other'")));
    QTest::newRow("second command appended")
        << cmd(good + QStringLiteral("; Remove-Item -LiteralPath '/x' -Recurse"));
    QTest::newRow("extra argument") << (cmd(good) << QStringLiteral("-NoExit"));
    QTest::newRow("missing -NoProfile") << QStringList{QStringLiteral("-Command"), good};
    QTest::newRow("arguments swapped")
        << QStringList{QStringLiteral("-Command"), QStringLiteral("-NoProfile"), good};
    QTest::newRow("no arguments") << QStringList{};
}

// The script's bytes must be strict UTF-8: an overlong or surrogate encoding
// of a letter is not that letter.
void tst_StandIns::malformedUtf8Refused_data()
{
    QTest::addColumn<QByteArray>("bytes"); // stands in for "E" of Expand-Archive
    // The one right spelling reaches the cmdlet, which finds no package.
    QTest::newRow("plain E, for comparison") << QByteArray("E");
    QTest::newRow("overlong two bytes") << QByteArray("\xC1\x85");
    QTest::newRow("overlong three bytes") << QByteArray("\xE0\x81\x85");
    QTest::newRow("overlong four bytes") << QByteArray("\xF0\x80\x81\x85");
    QTest::newRow("surrogate") << QByteArray("\xED\xA0\x80");
    QTest::newRow("lone continuation") << QByteArray("\x85");
    QTest::newRow("truncated sequence") << QByteArray("\xC3");
}

void tst_StandIns::malformedUtf8Refused()
{
    QFETCH(QByteArray, bytes);
    const QByteArray good =
        expandScript(QStringLiteral("/nonexistent/p.zip"), QStringLiteral("/nonexistent/stage"))
            .toUtf8();
    QVERIFY(good.startsWith('E'));
    // QProcess would encode the argument as UTF-8; bash's printf passes the
    // raw bytes.
    QString escaped;
    for (const char c : bytes + good.mid(1))
        escaped += QStringLiteral("\\x%1").arg(uchar(c), 2, 16, QLatin1Char('0'));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SCRIPT_BYTES"), escaped);
    QProcess shell;
    shell.setProcessEnvironment(env);
    shell.start(QStringLiteral("/bin/bash"),
                {QStringLiteral("-c"),
                 QStringLiteral("exec \"$0\" -NoProfile -Command \"$(printf \"$SCRIPT_BYTES\")\""),
                 QStringLiteral(TAMBRIX_PLATFORM_BIN "/powershell")});
    QVERIFY(shell.waitForFinished(30000));
    QCOMPARE(shell.exitStatus(), QProcess::NormalExit);
    QCOMPARE(shell.exitCode(), 1);
    const QString error = QString::fromUtf8(shell.readAllStandardError());
    const QString expected =
        bytes == "E" ? QStringLiteral("Expand-Archive : The path '/nonexistent/p.zip' either does "
                                      "not exist or is not a valid file system path.")
                     : QStringLiteral("powershell (stand-in): refusing a script that is not one of "
                                      "the installer's templates: ");
    QVERIFY2(error.startsWith(expected), qPrintable(error));
}

void tst_StandIns::nearMissesRefused()
{
    QFETCH(QStringList, arguments);
    const Outcome outcome = runStandIn(QStringLiteral("powershell"), arguments);
    QVERIFY(outcome.finished);
    QCOMPARE(outcome.status, QProcess::NormalExit);
    QCOMPARE(outcome.code, 1);
    QVERIFY2(outcome.standardError.startsWith(QLatin1String("powershell (stand-in):")),
             qPrintable(outcome.standardError));
}

void tst_StandIns::taskkillEndsMatchingProcesses_data()
{
    QTest::addColumn<QString>("imageName");
    QTest::newRow("exact") << QStringLiteral("TambrixDesktop.exe");
    QTest::newRow("other case") << QStringLiteral("tambrixdesktop.EXE");
}

void tst_StandIns::taskkillEndsMatchingProcesses()
{
    QFETCH(QString, imageName);
    // Any real executable will do, as long as it runs under the image name.
    const QString exe = work->path() + QLatin1String("/bin/TambrixDesktop.exe");
    QVERIFY(QDir().mkpath(work->path() + QLatin1String("/bin")));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), exe));
    const QString bystander = work->path() + QLatin1String("/bin/TambrixDesktop.exe.old");
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), bystander));

    QProcess first, second, other, anotherRun;
    first.start(exe, {QStringLiteral("60")});
    second.start(exe, {QStringLiteral("60")});
    other.start(bystander, {QStringLiteral("60")});
    // Another test run (or a developer's session) under the same uid: its
    // user is another HOME, and its processes are not this user's.
    QProcessEnvironment elsewhere = QProcessEnvironment::systemEnvironment();
    elsewhere.insert(QStringLiteral("HOME"), work->path() + QLatin1String("/another-run/home"));
    anotherRun.setProcessEnvironment(elsewhere);
    anotherRun.start(exe, {QStringLiteral("60")});
    QVERIFY(first.waitForStarted() && second.waitForStarted() && other.waitForStarted() &&
            anotherRun.waitForStarted());

    Outcome outcome = runStandIn(QStringLiteral("taskkill"),
                                 {QStringLiteral("/IM"), imageName, QStringLiteral("/F")});
    QCOMPARE(outcome.code, 0);
    QVERIFY(first.waitForFinished(10000));
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(first.exitStatus(), QProcess::CrashExit);
    QCOMPARE(second.exitStatus(), QProcess::CrashExit);
    // (A process's end is seen only when waited for.)
    QVERIFY(!other.waitForFinished(300));
    QVERIFY(!anotherRun.waitForFinished(300));
    other.kill();
    other.waitForFinished();

    outcome = runStandIn(QStringLiteral("taskkill"),
                         {QStringLiteral("/IM"), imageName, QStringLiteral("/F")});
    QCOMPARE(outcome.code, 128);
    QCOMPARE(outcome.standardError,
             QStringLiteral("ERROR: The process \"%1\" not found.").arg(imageName));
    QVERIFY(!anotherRun.waitForFinished(300));
    anotherRun.kill();
    anotherRun.waitForFinished();
}

// By process id: exactly the listed processes of this user, whatever their
// image; another user's are refused, as Windows refuses them.
void tst_StandIns::taskkillEndsListedProcesses()
{
    const QString exe = work->path() + QLatin1String("/bin/TambrixDesktop.exe");
    QVERIFY(QDir().mkpath(work->path() + QLatin1String("/bin")));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), exe));
    QProcess asked, other, anotherRun;
    QProcessEnvironment elsewhere = QProcessEnvironment::systemEnvironment();
    elsewhere.insert(QStringLiteral("HOME"), work->path() + QLatin1String("/another-run/home"));
    anotherRun.setProcessEnvironment(elsewhere);
    for (QProcess *process : {&asked, &other, &anotherRun})
        process->start(exe, {QStringLiteral("60")});
    QVERIFY(asked.waitForStarted() && other.waitForStarted() && anotherRun.waitForStarted());
    const auto pidOf = [](const QProcess &process) {
        return QString::number(process.processId());
    };

    Outcome outcome = runStandIn(QStringLiteral("taskkill"),
                                 {QStringLiteral("/F"), QStringLiteral("/PID"), pidOf(asked)});
    QCOMPARE(outcome.code, 0);
    QVERIFY(asked.waitForFinished(10000));
    QCOMPARE(asked.exitStatus(), QProcess::CrashExit);
    QVERIFY(!other.waitForFinished(300));

    outcome = runStandIn(QStringLiteral("taskkill"),
                         {QStringLiteral("/F"), QStringLiteral("/PID"), pidOf(anotherRun)});
    QCOMPARE(outcome.code, 1);
    QCOMPARE(outcome.standardError,
             QStringLiteral("ERROR: The process with PID %1 could not be terminated.\nReason: "
                            "Access is denied.")
                 .arg(pidOf(anotherRun)));
    QVERIFY(!anotherRun.waitForFinished(300));

    outcome = runStandIn(QStringLiteral("taskkill"),
                         {QStringLiteral("/F"), QStringLiteral("/PID"), pidOf(asked)});
    QCOMPARE(outcome.code, 128);
    QCOMPARE(outcome.standardError,
             QStringLiteral("ERROR: The process \"%1\" not found.").arg(pidOf(asked)));
    QVERIFY(!other.waitForFinished(300));
    for (QProcess *process : {&other, &anotherRun}) {
        process->kill();
        process->waitForFinished();
    }
}

void tst_StandIns::taskkillUsage_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no /F") << QStringList{QStringLiteral("/IM"), QStringLiteral("x.exe")};
    QTest::newRow("/PID without /F") << QStringList{QStringLiteral("/PID"), QStringLiteral("1")};
    QTest::newRow("a name and an id")
        << QStringList{QStringLiteral("/F"), QStringLiteral("/IM"), QStringLiteral("x.exe"),
                       QStringLiteral("/PID"), QStringLiteral("1")};
    QTest::newRow("an id that is no number")
        << QStringList{QStringLiteral("/F"), QStringLiteral("/PID"), QStringLiteral("1;2")};
    QTest::newRow("nothing to end") << QStringList{QStringLiteral("/F")};
}

void tst_StandIns::taskkillUsage()
{
    QFETCH(QStringList, arguments);
    const Outcome outcome = runStandIn(QStringLiteral("taskkill"), arguments);
    QCOMPARE(outcome.code, 1);
    QVERIFY(outcome.standardError.startsWith(QLatin1String("ERROR: Invalid syntax")));
}

QTEST_GUILESS_MAIN(tst_StandIns)
#include "tst_standins.moc"
