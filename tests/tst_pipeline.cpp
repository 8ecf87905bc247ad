// The installation pipeline through the stand-ins: unpacking, finding the
// application root, and deploying into the install folder.
#include "testenv.h"
#include "ziphelper.h"

#include "installer.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QScopeGuard>

#include <sys/stat.h>

namespace {

const QByteArray exeBytes = "\x7f"
                            "ELF Tambrix Desktop";

// powershell for the tests whose copy adds nothing at the top of the install
// folder (it reports success and copies nothing); every other script goes to
// the stand-in.
const QByteArray copyAddsNothing =
    "case \"$3\" in \"if (Test-Path\"*) exit 0;; esac\nexec \"" TAMBRIX_PLATFORM_BIN
    "/powershell\" \"$@\"";

} // namespace

class tst_Pipeline : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void resolveAppRoot_data();
    void resolveAppRoot();
    void extractWithHostilePaths_data();
    void extractWithHostilePaths();
    void extractFailures_data();
    void extractFailures();
    void extractWithoutPowerShell();
    void deploy_data();
    void deploy();
    void deployWithoutExecutable();
    void deployStageLeftFromEarlierAttempt();
    void deployCopyFailure_data();
    void deployCopyFailure();
    void deployRepairsNestedInstall();
    void endsOnlyAgreedCopies();
    void foldersMadeAbove_data();
    void foldersMadeAbove();
    void childrenGetEmptyInput();
    void hangingHelperStopsAtItsLimit_data();
    void hangingHelperStopsAtItsLimit();
    void copyLeavingNoExecutable();
    void copyLeavingNoExecutableFromWrapper_data();
    void copyLeavingNoExecutableFromWrapper();
    void noRepairWhenExecutableAtTop();
    void deployChecksFreeSpace_data();
    void deployChecksFreeSpace();
    void deployRemovesLinksAsLinks_data();
    void deployRemovesLinksAsLinks();
    void updateKilledAt_data();
    void updateKilledAt();
    void itemThatCannotMoveStopsFirst();

private:
    QString path(const QString &relative) const
    {
        return work->path() + QLatin1Char('/') + relative;
    }
    // Deploys a package holding only the executable (at `entry`) from a work
    // folder of the test's own.
    bool deployExecutablePackage(const QString &install, QString &error,
                                 const QByteArray &entry = "TambrixDesktop.exe") const
    {
        const QString workFolder = path(QStringLiteral("TambrixSetup"));
        const QString package = workFolder + QLatin1String("/TambrixDesktop-1.0.zip");
        if (!QDir().mkpath(workFolder) ||
            !testzip::write(package, {testzip::makeFile(entry, exeBytes)})) {
            error = QStringLiteral("test setup: cannot write ") + package;
            return false;
        }
        return deployPackage(install, package, workFolder, QStringLiteral("1.0"), error);
    }
    // An update that replaces the executable and lib and adds plugins, in
    // `workFolder`; its path, or nothing.
    static QString writeUpdatePackage(const QString &workFolder)
    {
        const QString package = workFolder + QLatin1String("/TambrixDesktop-1.0.zip");
        return QDir().mkpath(workFolder) &&
                       testzip::write(package, {testzip::makeFile("TambrixDesktop.exe", exeBytes),
                                                testzip::makeFile("lib/a.dll", "new a"),
                                                testzip::makeFile("plugins/p.dll", "new p")})
                   ? package
                   : QString();
    }
    QScopedPointer<QTemporaryDir> work;
};

void tst_Pipeline::init()
{
    work.reset(new QTemporaryDir(testenv::environment().temp() + QLatin1String("/pipe-XXXXXX")));
    QVERIFY2(work->isValid(), qPrintable(work->errorString()));
}

void tst_Pipeline::resolveAppRoot_data()
{
    QTest::addColumn<QStringList>("files"); // trailing "/" makes a folder
    QTest::addColumn<QString>("expected");  // "INPUT": the input string itself
    QTest::newRow("executable at the top")
        << QStringList{QStringLiteral("TambrixDesktop.exe"), QStringLiteral("lib/a.dll")}
        << QStringLiteral("INPUT");
    QTest::newRow("one wrapping folder, loose files")
        << QStringList{QStringLiteral("README.txt"),
                       QStringLiteral("TambrixDesktop-2.0/TambrixDesktop.exe")}
        << QStringLiteral("TambrixDesktop-2.0");
    QTest::newRow("three levels down")
        << QStringList{QStringLiteral("a/b/c/TambrixDesktop.exe"), QStringLiteral("a/x.txt")}
        << QStringLiteral("a/b/c");
    QTest::newRow("one of two top folders")
        << QStringList{QStringLiteral("docs/"), QStringLiteral("app/TambrixDesktop.exe")}
        << QStringLiteral("app");
    QTest::newRow("lower-case name at the top")
        << QStringList{QStringLiteral("tambrixdesktop.exe")} << QStringLiteral("INPUT");
    QTest::newRow("folder named like the executable")
        << QStringList{QStringLiteral("TambrixDesktop.exe/")} << QStringLiteral("INPUT");
    QTest::newRow("folder named like it, one level down")
        << QStringList{QStringLiteral("a/TambrixDesktop.exe/"), QStringLiteral("b/")}
        << QStringLiteral("INPUT");
    QTest::newRow("nothing") << QStringList{QStringLiteral("a/readme")} << QStringLiteral("INPUT");
    QTest::newRow("empty folder") << QStringList{} << QStringLiteral("INPUT");
}

void tst_Pipeline::resolveAppRoot()
{
    QFETCH(QStringList, files);
    QFETCH(QString, expected);
    const QString root = path(QStringLiteral("stage-1.0"));
    QVERIFY(QDir().mkpath(root));
    for (const QString &file : files) {
        if (file.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(root + QLatin1Char('/') + file));
        else
            QVERIFY(testenv::writeFile(root + QLatin1Char('/') + file, exeBytes));
    }
    const QString input = root + QLatin1String("/./"); // not cleaned, to see it come back as is
    const QString result = ::resolveAppRoot(input);
    if (expected == QLatin1String("INPUT"))
        QCOMPARE(result, input);
    else
        QCOMPARE(result, root + QLatin1Char('/') + expected);
}

void tst_Pipeline::extractWithHostilePaths_data()
{
    testenv::addHostileNameRows();
}

void tst_Pipeline::extractWithHostilePaths()
{
    QFETCH(QString, name);
    const QString zip =
        path(name + QLatin1String("/TambrixDesktop-1.0 ") + name + QLatin1String(".zip"));
    QVERIFY(QDir().mkpath(path(name)));
    QVERIFY(testzip::write(zip, {testzip::makeFile("TambrixDesktop.exe", exeBytes, 0755),
                                 testzip::makeFile("data/.settings", "s")}));
    const QString stage = path(name + QLatin1String("/stage-") + name + QLatin1String("/deeper"));
    QString error = QStringLiteral("untouched");
    // PowerShell reads the destination as a pattern: a stage holding [ ] * ?
    // cannot be unpacked into (the installer keeps them out of its work
    // folder).
    if (holdsWildcard(stage)) {
        QVERIFY(!extractZip(zip, stage, error));
        QCOMPARE(error, QStringLiteral("New-Item : An item with the specified name %1 already "
                                       "exists.")
                            .arg(stage));
        QCOMPARE(testenv::treeOf(stage), (QMap<QString, QByteArray>{}));
        return;
    }
    QVERIFY2(extractZip(zip, stage, error), qPrintable(error));
    QCOMPARE(error, QStringLiteral("untouched"));
    const QMap<QString, QByteArray> expected{{QStringLiteral("TambrixDesktop.exe"), exeBytes},
                                             {QStringLiteral("data/"), QByteArray()},
                                             {QStringLiteral("data/.settings"), "s"}};
    QCOMPARE(testenv::treeOf(stage), expected);
}

void tst_Pipeline::extractFailures_data()
{
    QTest::addColumn<QByteArray>("fakeScript"); // empty: the real stand-in
    QTest::addColumn<QString>("expected");      // "CORRUPT": the stand-in's message
    QTest::newRow("corrupt archive") << QByteArray() << QStringLiteral("CORRUPT");
    QTest::newRow("multi-line stderr, trimmed at the ends")
        << QByteArray("printf '\\n  line one\\n  line two  \\n\\n' >&2; exit 3")
        << QStringLiteral("line one\n  line two");
    QTest::newRow("blank stderr") << QByteArray("printf ' \\n\\t\\n' >&2; exit 1")
                                  << QStringLiteral("Не удалось распаковать архив");
    // Linux reports the signal (9) as the exit code of a killed child, so a
    // crash that leaves exit code 0, as Windows can, cannot be staged here.
    QTest::newRow("killed by a signal after a message")
        << QByteArray("echo crashed >&2; kill -9 $$") << QStringLiteral("crashed");
    QTest::newRow("crash, no stderr")
        << QByteArray("kill -SEGV $$") << QStringLiteral("Не удалось распаковать архив");
}

void tst_Pipeline::extractFailures()
{
    QFETCH(QByteArray, fakeScript);
    QFETCH(QString, expected);
    const QString zip = path(QStringLiteral("broken.zip"));
    QVERIFY(testenv::writeFile(zip, "PK\x03\x04 this is not really a zip archive"));
    QScopedPointer<testenv::FakeProgram> fake;
    if (!fakeScript.isEmpty()) {
        fake.reset(new testenv::FakeProgram(path(QStringLiteral("fake-bin")),
                                            QStringLiteral("powershell"), fakeScript));
        QVERIFY(fake->ok);
    }
    QString error;
    QVERIFY(!extractZip(zip, path(QStringLiteral("stage")), error));
    if (expected == QLatin1String("CORRUPT")) {
        QVERIFY2(error.startsWith(QStringLiteral("Expand-Archive : The archive file '") + zip +
                                  QLatin1Char('\'')),
                 qPrintable(error));
        QCOMPARE(error, error.trimmed());
    } else {
        QCOMPARE(error, expected);
    }
}

void tst_Pipeline::extractWithoutPowerShell()
{
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(path(QStringLiteral("empty-bin"))));
    QString error;
    const bool ok = extractZip(path(QStringLiteral("p.zip")), path(QStringLiteral("stage")), error);
    qputenv("PATH", savedPath);
    QVERIFY(!ok);
    QCOMPARE(error, QStringLiteral("Распаковка прервана"));
    QVERIFY(QFileInfo(path(QStringLiteral("stage"))).isDir()); // created before the run
}

void tst_Pipeline::deploy_data()
{
    testenv::addHostileNameRows();
}

void tst_Pipeline::deploy()
{
    QFETCH(QString, name);
    // Everything with the hostile name: work folder, package, install folder;
    // but never [ ] * ? in the work folder, which the installer keeps out
    // (PowerShell could not unpack there).
    const QString workFolder = path((holdsWildcard(name) ? QStringLiteral("plain") : name) +
                                    QLatin1String("/Temp/TambrixSetup"));
    const QString package = workFolder + QLatin1String("/TambrixDesktop-1.0.zip");
    QVERIFY(QDir().mkpath(workFolder));
    QVERIFY(testzip::write(package,
                           {testzip::makeFile("README.txt", "loose file at the top"),
                            testzip::makeFile("Tambrix-1.0/TambrixDesktop.exe", exeBytes, 0755),
                            testzip::makeFile("Tambrix-1.0/tambrix.ico", "ico"),
                            testzip::makeFile("Tambrix-1.0/.hidden", "hidden"),
                            testzip::makeFile("Tambrix-1.0/lib/new.dll", "new")}));
    const QString install = path(name + QLatin1String("/Apps/Tambrix ") + name);
    // An earlier installation: same-named items are replaced whole, the rest stays.
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "old exe"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/lib/old.dll"), "old"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/user.settings"), "keep me"));

    QString error;
    QVERIFY2(deployPackage(install, package, workFolder, QStringLiteral("1.0"), error),
             qPrintable(error));
    const QMap<QString, QByteArray> expected{{QStringLiteral("TambrixDesktop.exe"), exeBytes},
                                             {QStringLiteral("tambrix.ico"), "ico"},
                                             {QStringLiteral(".hidden"), "hidden"},
                                             {QStringLiteral("lib/"), QByteArray()},
                                             {QStringLiteral("lib/new.dll"), "new"},
                                             {QStringLiteral("user.settings"), "keep me"}};
    QCOMPARE(testenv::treeOf(install), expected);
    QVERIFY(QFileInfo(install + QLatin1String("/TambrixDesktop.exe")).isExecutable());
    QVERIFY(!QFile::exists(workFolder + QLatin1String("/stage-1.0")));
    QVERIFY(QFile::exists(package)); // kept for the next run
}

void tst_Pipeline::deployWithoutExecutable()
{
    const QString workFolder = path(QStringLiteral("TambrixSetup"));
    const QString package = workFolder + QLatin1String("/TambrixDesktop-2.0.zip");
    QVERIFY(QDir().mkpath(workFolder));
    QVERIFY(testzip::write(package, {testzip::makeFile("app/Other.exe", "x")}));
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "installed"));
    const auto before = testenv::treeOf(install);
    QString error;
    QVERIFY(!deployPackage(install, package, workFolder, QStringLiteral("2.0"), error));
    QCOMPARE(error, QStringLiteral("В архиве нет TambrixDesktop.exe"));
    QCOMPARE(testenv::treeOf(install), before);
}

void tst_Pipeline::deployStageLeftFromEarlierAttempt()
{
    const QString workFolder = path(QStringLiteral("TambrixSetup"));
    const QString package = workFolder + QLatin1String("/TambrixDesktop-3.0.zip");
    QVERIFY(QDir().mkpath(workFolder));
    QVERIFY(testzip::write(package, {testzip::makeFile("TambrixDesktop.exe", exeBytes)}));
    // A stale stage would otherwise be found first and copied.
    QVERIFY(testenv::writeFile(workFolder + QLatin1String("/stage-3.0/stale/TambrixDesktop.exe"),
                               "stale"));
    QVERIFY(testenv::writeFile(workFolder + QLatin1String("/stage-3.0/stale.txt"), "stale"));
    const QString install = path(QStringLiteral("Tambrix"));
    QString error;
    QVERIFY2(deployPackage(install, package, workFolder, QStringLiteral("3.0"), error),
             qPrintable(error));
    const QMap<QString, QByteArray> expected{{QStringLiteral("TambrixDesktop.exe"), exeBytes}};
    QCOMPARE(testenv::treeOf(install), expected);
}

// Whatever ends the copy, the install folder holds the earlier release as it
// was: what the copy wrote goes, and the earlier items come back.
void tst_Pipeline::deployCopyFailure_data()
{
    QTest::addColumn<QByteArray>("copyOutcome");
    QTest::addColumn<QString>("expected");
    QTest::newRow("silent failure")
        << QByteArray("exit 1") << QStringLiteral("Не удалось скопировать файлы");
    QTest::newRow("failure with stderr")
        << QByteArray("echo '  Copy-Item : Access to the path is denied.  ' >&2; exit 1")
        << QStringLiteral("Copy-Item : Access to the path is denied.");
    QTest::newRow("everything written, then the disk is full")
        << QByteArray("\"" TAMBRIX_PLATFORM_BIN "/powershell\" \"$@\"; echo 'Copy-Item : There "
                      "is not enough space on the disk.' >&2; exit 1")
        << QStringLiteral("Copy-Item : There is not enough space on the disk.");
}

void tst_Pipeline::deployCopyFailure()
{
    QFETCH(QByteArray, copyOutcome);
    QFETCH(QString, expected);
    // Only the copy script is faked; unpacking goes to the real stand-in.
    testenv::FakeProgram fake(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                              "case \"$3\" in \"if (Test-Path\"*) " + copyOutcome +
                                  ";; esac\nexec \"" TAMBRIX_PLATFORM_BIN "/powershell\" \"$@\"");
    QVERIFY(fake.ok);
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "old"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/lib/a.dll"), "old a"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/user.settings"), "mine"));
    const auto before = testenv::treeOf(install);
    const QString workFolder = path(QStringLiteral("TambrixSetup"));
    const QString package = writeUpdatePackage(workFolder);
    QVERIFY(!package.isEmpty());
    QString error;
    QVERIFY(!deployPackage(install, package, workFolder, QStringLiteral("1.0"), error));
    QCOMPARE(error, expected);
    QCOMPARE(testenv::treeOf(install), before);
    // The stage stays for inspection; it is cleared before the next attempt.
    QVERIFY(QFile::exists(workFolder + QLatin1String("/stage-1.0/TambrixDesktop.exe")));
}

void tst_Pipeline::deployRepairsNestedInstall()
{
    // An install folder left nested by an earlier installer, and a copy that
    // adds nothing at the top: the repair moves the nested tree up.
    testenv::FakeProgram fake(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                              copyAddsNothing);
    QVERIFY(fake.ok);
    const QString install = path(QStringLiteral("Team's Apps/Tambrix"));
    QVERIFY(
        testenv::writeFile(install + QLatin1String("/Tambrix-1.0/TambrixDesktop.exe"), "nested"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/Tambrix-1.0/.hidden"), "h"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/Tambrix-1.0/lib/x.dll"), "x"));
    const QString workFolder = path(QStringLiteral("TambrixSetup"));
    const QString package = workFolder + QLatin1String("/TambrixDesktop-1.0.zip");
    QVERIFY(QDir().mkpath(workFolder));
    QVERIFY(testzip::write(package, {testzip::makeFile("TambrixDesktop.exe", exeBytes)}));
    QString error;
    QVERIFY2(deployPackage(install, package, workFolder, QStringLiteral("1.0"), error),
             qPrintable(error));
    const QMap<QString, QByteArray> expected{{QStringLiteral("TambrixDesktop.exe"), "nested"},
                                             {QStringLiteral(".hidden"), "h"},
                                             {QStringLiteral("lib/"), QByteArray()},
                                             {QStringLiteral("lib/x.dll"), "x"}};
    QCOMPARE(testenv::treeOf(install), expected);
}

// Only the copies the user agreed to end are ended: by their process ids,
// never by the image name, which would reach the user's copies in other
// sessions; with none agreed, nothing is ended.
void tst_Pipeline::endsOnlyAgreedCopies()
{
    const QString exe = path(QStringLiteral("Tambrix/TambrixDesktop.exe"));
    QVERIFY(QDir().mkpath(path(QStringLiteral("Tambrix"))));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), exe));
    QProcess agreed, notAsked;
    agreed.start(exe, {QStringLiteral("300")});
    notAsked.start(exe, {QStringLiteral("300")});
    QVERIFY(agreed.waitForStarted() && notAsked.waitForStarted());

    endAppCopies({});
    QCOMPARE(agreed.state(), QProcess::Running);
    QVERIFY(!agreed.waitForFinished(300));
    endAppCopies({agreed.processId()});
    // The installer waits in an event loop, which may have seen it end already.
    QVERIFY(agreed.state() == QProcess::NotRunning || agreed.waitForFinished(10000));
    QCOMPARE(agreed.exitStatus(), QProcess::CrashExit);
    // (The installer's wait ran the event loop: an end would be seen already.)
    QCOMPARE(notAsked.state(), QProcess::Running);
    QVERIFY(!notAsked.waitForFinished(300));
    notAsked.kill();
    notAsked.waitForFinished();
}

// A missing folder above the install folder (%LOCALAPPDATA%\\Programs,
// shared with the user's other programs) takes what the folder it is made in
// passes on when that one is private; made anywhere others may write, it is
// private. The install folder itself is always private.
void tst_Pipeline::foldersMadeAbove_data()
{
    QTest::addColumn<int>("parentMode");
    QTest::addColumn<int>("madeMode"); // of the missing folder between
    QTest::newRow("in a folder of the user's") << 0755 << 0755;
    QTest::newRow("in a folder only the user may enter") << 0700 << 0700;
    QTest::newRow("in a folder the group may read") << 0750 << 0750;
    QTest::newRow("in a folder the group may write") << 0775 << 0700;
    QTest::newRow("in a sticky folder open to everyone") << 01777 << 0700;
}

void tst_Pipeline::foldersMadeAbove()
{
    QFETCH(int, parentMode);
    QFETCH(int, madeMode);
    // What a new folder would get from the umask differs from every row.
    const mode_t savedMask = ::umask(002);
    const auto restoreMask = qScopeGuard([&] { ::umask(savedMask); });
    const QString local = path(QStringLiteral("Local"));
    QVERIFY(QDir().mkpath(local));
    QVERIFY(::chmod(QFile::encodeName(local).constData(), mode_t(parentMode)) == 0);
    const QString install = local + QLatin1String("/Programs/Tambrix");
    QString error;
    QVERIFY2(prepareInstallFolder(install, error), qPrintable(error));
    const auto modeOf = [](const QString &folder) {
        struct stat info;
        return ::lstat(QFile::encodeName(folder).constData(), &info) == 0
                   ? int(info.st_mode & 07777)
                   : -1;
    };
    QCOMPARE(modeOf(local + QLatin1String("/Programs")), madeMode);
    QCOMPARE(modeOf(install), 0700);
}

// Every helper starts with an input that is already at its end: Windows
// PowerShell given a pipe nobody writes to can wait on it until its limit.
void tst_Pipeline::childrenGetEmptyInput()
{
    const QByteArray record = QFile::encodeName(path(QStringLiteral("inputs")));
    // Each helper notes whether its input ended within 5 s, then does its job.
    auto recorder = [&](const char *label, const QByteArray &rest) {
        return QByteArray("if timeout 5 cat >/dev/null; then s=ended; else s=open; fi\n") +
               "echo \"$s " + label + "\" >> \"" + record + "\"\n" + rest;
    };
    testenv::FakeProgram taskkill(
        path(QStringLiteral("fake-bin")), QStringLiteral("taskkill"),
        recorder("taskkill", "exec \"" TAMBRIX_PLATFORM_BIN "/taskkill\" \"$@\""));
    // The copy adds nothing at the top, so that the nested tree is moved up.
    testenv::FakeProgram powershell(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                                    recorder("${3%% *}", copyAddsNothing));
    QVERIFY(taskkill.ok && powershell.ok);
    QProcess copy;
    copy.start(QStringLiteral("/bin/sleep"), {QStringLiteral("60")});
    QVERIFY(copy.waitForStarted());
    endAppCopies({copy.processId()});
    QVERIFY(copy.state() == QProcess::NotRunning || copy.waitForFinished(10000));
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/Tambrix-1.0/TambrixDesktop.exe"), "n"));
    QString error;
    QVERIFY2(deployExecutablePackage(install, error), qPrintable(error));
    QVERIFY2(createShortcut(path(QStringLiteral("Tambrix.lnk")),
                            install + QLatin1String("/TambrixDesktop.exe"), install, error),
             qPrintable(error));
    QCOMPARE(QString::fromUtf8(testenv::readAll(path(QStringLiteral("inputs")))),
             QStringLiteral("ended taskkill\nended Expand-Archive\nended if\nended "
                            "Get-ChildItem\nended $s\n"));
}

// A helper that never ends is stopped at its run's own limit (10 minutes for
// the unpack and the copy, 1 minute for a shortcut), here waited for a
// thousandth of it.
void tst_Pipeline::hangingHelperStopsAtItsLimit_data()
{
    QTest::addColumn<QByteArray>("hangsOn"); // sh pattern of the script that hangs
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("message");
    QTest::newRow("unpack") << QByteArray("Expand-Archive*") << 600000
                            << QStringLiteral("Распаковка прервана");
    QTest::newRow("copy") << QByteArray("\"if (Test-Path\"*") << 600000
                          << QStringLiteral("Не удалось скопировать файлы");
    QTest::newRow("shortcut") << QByteArray("*WScript.Shell*") << 60000
                              << QStringLiteral("Не удалось создать ярлык");
}

void tst_Pipeline::hangingHelperStopsAtItsLimit()
{
    QFETCH(QByteArray, hangsOn);
    QFETCH(int, limit);
    QFETCH(QString, message);
    const QByteArray pids = QFile::encodeName(path(QStringLiteral("pids")));
    testenv::FakeProgram powershell(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                                    "case \"$3\" in " + hangsOn + ") echo $$ >> \"" + pids +
                                        "\"; exec sleep 600;; esac\nexec \"" TAMBRIX_PLATFORM_BIN
                                        "/powershell\" \"$@\"");
    QVERIFY(powershell.ok);
    testTimeLimitDivisor = 1000;
    testGivenTimeLimits.clear();
    const auto restore = qScopeGuard([] { testTimeLimitDivisor = 1; });

    const QString install = path(QStringLiteral("Tambrix"));
    QString error;
    QElapsedTimer timer;
    timer.start();
    bool ok = false;
    if (limit == 60000)
        ok = createShortcut(path(QStringLiteral("Tambrix.lnk")),
                            install + QLatin1String("/TambrixDesktop.exe"), install, error);
    else
        ok = deployExecutablePackage(install, error);
    QVERIFY(!ok);
    QCOMPARE(error, message);
    QCOMPARE(testGivenTimeLimits.last(), limit);
    QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
    // The hanging helper is gone, not left running behind the installer.
    const QByteArray pid = testenv::readAll(path(QStringLiteral("pids"))).trimmed();
    QVERIFY(!pid.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)),
                             10000);
}

// The copy reports success yet leaves no executable (and nothing nested to
// move up): the installation must not pass for complete.
void tst_Pipeline::copyLeavingNoExecutable()
{
    const QByteArray scripts = QFile::encodeName(path(QStringLiteral("scripts")));
    testenv::FakeProgram powershell(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                                    "echo \"${3%% *}\" >> \"" + scripts + "\"\n" + copyAddsNothing);
    QVERIFY(powershell.ok);
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/user.settings"), "keep me"));
    QString error;
    QVERIFY(!deployExecutablePackage(install, error));
    QCOMPARE(error, QStringLiteral("Установка завершилась без TambrixDesktop.exe"));
    // No move script ran: there was nothing nested to repair.
    QCOMPARE(testenv::readAll(QString::fromUtf8(scripts)), QByteArray("Expand-Archive\nif\n"));
    QCOMPARE(testenv::treeOf(install),
             (QMap<QString, QByteArray>{{QStringLiteral("user.settings"), "keep me"}}));
}

// With the executable at the top of the install folder the nested-install
// repair must not run, even when an old nested copy is there too: its
// clean-up would remove the folder it moves into.
void tst_Pipeline::noRepairWhenExecutableAtTop()
{
    const QByteArray scripts = QFile::encodeName(path(QStringLiteral("scripts")));
    testenv::FakeProgram powershell(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                                    "echo \"${3%% *}\" >> \"" + scripts +
                                        "\"\nexec \"" TAMBRIX_PLATFORM_BIN "/powershell\" \"$@\"");
    QVERIFY(powershell.ok);
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/Old/TambrixDesktop.exe"), "old nested"));
    QString error;
    QVERIFY2(deployExecutablePackage(install, error), qPrintable(error));
    QCOMPARE(testenv::readAll(QString::fromUtf8(scripts)), QByteArray("Expand-Archive\nif\n"));
    const QMap<QString, QByteArray> expected{
        {QStringLiteral("TambrixDesktop.exe"), exeBytes},
        {QStringLiteral("Old/"), QByteArray()},
        {QStringLiteral("Old/TambrixDesktop.exe"), "old nested"}};
    QCOMPARE(testenv::treeOf(install), expected);
}

// The same, out of a wrapper folder: one whose name PowerShell reads as a
// pattern is named as the likely cause.
void tst_Pipeline::copyLeavingNoExecutableFromWrapper_data()
{
    QTest::addColumn<QString>("wrapper");
    QTest::addColumn<QString>("message");
    const QString plain = QStringLiteral("Установка завершилась без TambrixDesktop.exe");
    const QString cause = QStringLiteral(": папка приложения в архиве («%1») содержит символ [, ], "
                                         "* или ?, который PowerShell читает как шаблон");
    QTest::newRow("brackets") << QStringLiteral("Tambrix [x64]")
                              << plain + cause.arg(QStringLiteral("Tambrix [x64]"));
    QTest::newRow("nested, star") << QStringLiteral("a/b*c")
                                  << plain + cause.arg(QStringLiteral("a/b*c"));
    QTest::newRow("question mark")
        << QStringLiteral("why?") << plain + cause.arg(QStringLiteral("why?"));
    QTest::newRow("plain wrapper") << QStringLiteral("Tambrix (x64) 1.4") << plain;
}

void tst_Pipeline::copyLeavingNoExecutableFromWrapper()
{
    QFETCH(QString, wrapper);
    QFETCH(QString, message);
    testenv::FakeProgram powershell(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                                    copyAddsNothing);
    QVERIFY(powershell.ok);
    QString error;
    QVERIFY(!deployExecutablePackage(path(QStringLiteral("Tambrix")), error,
                                     wrapper.toUtf8() + "/TambrixDesktop.exe"));
    QCOMPARE(error, message);
}

using Sizes = QMap<QString, int>; // relative file path -> size in units

// A quarter of a MiB, so that the messages' MB figures say something.
constexpr int unit = 262144;

static bool writeSizedTree(const QString &folder, const Sizes &sizes, char fill)
{
    for (auto it = sizes.begin(); it != sizes.end(); ++it) {
        if (!testenv::writeFile(folder + QLatin1Char('/') + it.key(),
                                QByteArray(qsizetype(it.value()) * unit, fill)))
            return false;
    }
    return true;
}

// Before the copy touches the install folder, what it will write is weighed
// against the room the volume has, as the volume charges it: each file in
// whole clusters and at least one, each folder one, a record for each, and
// a margin. The earlier items stay aside until the copy has ended, so they
// free nothing; an unknown figure never stops the installation.
void tst_Pipeline::deployChecksFreeSpace_data()
{
    QTest::addColumn<Sizes>("installed");
    QTest::addColumn<Sizes>("package");
    QTest::addColumn<qint64>("available");
    QTest::addColumn<qint64>("blockSize");
    QTest::addColumn<qint64>("needed"); // -1: installs
    const Sizes package{{QStringLiteral("TambrixDesktop.exe"), 8},
                        {QStringLiteral("lib/a.dll"), 4}};
    const Sizes earlier{{QStringLiteral("TambrixDesktop.exe"), 6},
                        {QStringLiteral("lib/a.dll"), 2},
                        {QStringLiteral("user.settings"), 1}};
    const qint64 u = unit, k = 4096, record = 1024, margin = 1048576;
    // The executable, lib and lib/a.dll: three records, lib one cluster.
    const qint64 packageNeeds = 12 * u + k + 3 * record + margin;
    QTest::newRow("fits exactly") << Sizes() << package << packageNeeds << k << qint64(-1);
    QTest::newRow("one byte short") << Sizes() << package << packageNeeds - 1 << k << packageNeeds;
    QTest::newRow("the replaced items free nothing")
        << earlier << package << packageNeeds - 1 << k << packageNeeds;
    QTest::newRow("free space unknown") << Sizes() << package << qint64(-1) << k << qint64(-1);
    // An empty file and a folder take a cluster each, and 8 units and a byte
    // take a cluster more than 8 units.
    QTest::newRow("whole clusters, at least one each")
        << Sizes() << Sizes{{QStringLiteral("TambrixDesktop.exe"), 8}, {QStringLiteral("b"), 0}}
        << qint64(0) << 8 * u << 16 * u + 2 * record + margin;
    QTest::newRow("two hundred empty folders")
        << Sizes() << Sizes{{QStringLiteral("TambrixDesktop.exe"), 1}} << qint64(0) << k
        << u + 201 * (k + record) + record + margin;
}

void tst_Pipeline::deployChecksFreeSpace()
{
    QFETCH(Sizes, installed);
    QFETCH(Sizes, package);
    QFETCH(qint64, available);
    QFETCH(qint64, blockSize);
    QFETCH(qint64, needed);
    const QString workFolder = path(QStringLiteral("TambrixSetup"));
    const QString zip = workFolder + QLatin1String("/TambrixDesktop-1.0.zip");
    QVERIFY(writeSizedTree(path(QStringLiteral("app")), package, 'n'));
    if (package.contains(QStringLiteral("b"))) // a file of one byte
        QVERIFY(testenv::writeFile(path(QStringLiteral("app/b")), "1"));
    if (QTest::currentDataTag() == QLatin1String("two hundred empty folders")) {
        for (int i = 0; i < 200; ++i)
            QVERIFY(QDir().mkpath(path(QStringLiteral("app/plugins/p%1").arg(i))));
    }
    QVERIFY(QDir().mkpath(workFolder));
    QVERIFY(testenv::zipFolder(path(QStringLiteral("app")), zip));
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(QDir().mkpath(install));
    QVERIFY(writeSizedTree(install, installed, 'o'));
    const auto before = testenv::treeOf(install);

    QStringList asked;
    testVolumeSpace = [&](const QString &folder) {
        asked << folder;
        return VolumeSpace{QStringLiteral("T:"), available, blockSize};
    };
    const auto restore = qScopeGuard([] { testVolumeSpace = nullptr; });
    QString error;
    const bool deployed = deployPackage(install, zip, workFolder, QStringLiteral("1.0"), error);
    QCOMPARE(asked, QStringList{install}); // the install folder's volume
    if (needed < 0) {
        QVERIFY2(deployed, qPrintable(error));
        QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")).size(),
                 qsizetype(package.value(QStringLiteral("TambrixDesktop.exe"))) * unit);
        return;
    }
    QVERIFY(!deployed);
    QCOMPARE(error, QStringLiteral("На диске T: недостаточно места для установки: нужно %1, "
                                   "свободно %2. Установленная программа не изменена. Освободите "
                                   "место и нажмите «Повторить».")
                        .arg(formatBytes(needed), formatBytes(available)));
    QCOMPARE(testenv::treeOf(install), before); // the installed program as it was
}

// Links in what the copy replaces go as links before the copy runs: the
// stand-in's copy, as Windows PowerShell 5.1's, would delete what is behind
// them. Their targets, the user's own files, stay.
void tst_Pipeline::deployRemovesLinksAsLinks_data()
{
    QTest::addColumn<QString>("link"); // in the install folder, to the user's folder
    QTest::newRow("lib is a link") << QStringLiteral("lib");
    QTest::newRow("a link deep inside lib") << QStringLiteral("lib/plugins/data");
    QTest::newRow("a link of a name the package does not bring")
        << QStringLiteral("Data"); // kept as it is
}

void tst_Pipeline::deployRemovesLinksAsLinks()
{
    QFETCH(QString, link);
    const QString mine = path(QStringLiteral("Documents"));
    QVERIFY(testenv::writeFile(mine + QLatin1String("/report.docx"), "my report"));
    QVERIFY(testenv::writeFile(mine + QLatin1String("/photos/1.jpg"), "photo"));
    const auto own = testenv::treeOf(mine);
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "old"));
    QVERIFY(QDir().mkpath(QFileInfo(install + QLatin1Char('/') + link).path()));
    QVERIFY(QFile::link(mine, install + QLatin1Char('/') + link));

    const QString workFolder = path(QStringLiteral("TambrixSetup"));
    const QString zip = workFolder + QLatin1String("/TambrixDesktop-1.0.zip");
    QVERIFY(QDir().mkpath(workFolder));
    QVERIFY(testzip::write(zip, {testzip::makeFile("TambrixDesktop.exe", exeBytes),
                                 testzip::makeFile("lib/core.dll", "core")}));
    QString error;
    QVERIFY2(deployPackage(install, zip, workFolder, QStringLiteral("1.0"), error),
             qPrintable(error));
    QCOMPARE(testenv::treeOf(mine), own);
    QCOMPARE(testenv::readAll(install + QLatin1String("/lib/core.dll")), QByteArray("core"));
    QVERIFY(!QFileInfo(install + QLatin1String("/lib")).isSymLink());
    QCOMPARE(QFileInfo(install + QLatin1Char('/') + link).isSymLink(),
             !link.startsWith(QLatin1String("lib")));
}

// An installer killed at any moment of an update: the next run finds the
// install folder holding the earlier release as it was, or the new one
// whole, and then installs. The moments a kill can fall between, in order.
void tst_Pipeline::updateKilledAt_data()
{
    QTest::addColumn<QByteArray>("moment");
    QTest::addColumn<bool>("newWhole"); // after the next run's first step
    for (const char *moment : {"prepared", "unpacked", "aside begun", "moving aside",
                               "before the copy", "copy begun", "copied", "whole"})
        QTest::newRow(moment) << QByteArray(moment) << false;
    for (const char *moment : {"dropping", "done"})
        QTest::newRow(moment) << QByteArray(moment) << true;
}

void tst_Pipeline::updateKilledAt()
{
    QFETCH(QByteArray, moment);
    QFETCH(bool, newWhole);
    const QString install = path(QStringLiteral("Tambrix"));
    const QString mine = path(QStringLiteral("Documents"));
    QVERIFY(testenv::writeFile(mine + QLatin1String("/report.docx"), "my report"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "old"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/lib/a.dll"), "old a"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/lib/.hidden"), "old hidden"));
    QVERIFY(QFile::link(mine, install + QLatin1String("/lib/.data")));
    QVERIFY(QFile::link(path(QStringLiteral("gone")), install + QLatin1String("/lib/dangling")));
    QVERIFY(testenv::writeFile(install + QLatin1String("/user.settings"), "mine"));
    const auto earlier = testenv::treeOf(install);
    const auto own = testenv::treeOf(mine);
    const QString workFolder = path(QStringLiteral("TambrixSetup"));
    const QString package = writeUpdatePackage(workFolder);
    QVERIFY(!package.isEmpty());
    const QMap<QString, QByteArray> whole{{QStringLiteral("TambrixDesktop.exe"), exeBytes},
                                          {QStringLiteral("lib/"), QByteArray()},
                                          {QStringLiteral("lib/a.dll"), "new a"},
                                          {QStringLiteral("plugins/"), QByteArray()},
                                          {QStringLiteral("plugins/p.dll"), "new p"},
                                          {QStringLiteral("user.settings"), "mine"}};
    bool reached = false;
    testInterruptAt = [&](const char *at) {
        return reached = reached || moment == at;
    };
    const auto restore = qScopeGuard([] { testInterruptAt = nullptr; });
    QString error;
    QVERIFY(!deployPackage(install, package, workFolder, QStringLiteral("1.0"), error));
    QVERIFY2(reached, moment.constData());
    testInterruptAt = nullptr;
    // What the next run does first.
    QVERIFY2(finishInterruptedUpdate(install, error), qPrintable(error));
    QCOMPARE(testenv::treeOf(install), newWhole ? whole : earlier);
    QCOMPARE(testenv::treeOf(mine), own);
    QVERIFY2(deployPackage(install, package, workFolder, QStringLiteral("1.0"), error),
             qPrintable(error));
    QCOMPARE(testenv::treeOf(install), whole);
    QCOMPARE(testenv::treeOf(mine), own);
}

// An installed item that cannot be moved aside (on Windows a file held open
// by a running program; here a folder made immutable) stops the
// installation before anything is replaced, naming it.
void tst_Pipeline::itemThatCannotMoveStopsFirst()
{
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "old"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/lib/a.dll"), "old a"));
    QVERIFY(testenv::writeFile(install + QLatin1String("/plugins/p.dll"), "old p"));
    const QString held = install + QLatin1String("/plugins");
    QProcess chattr;
    chattr.start(QStringLiteral("chattr"), {QStringLiteral("+i"), held});
    if (!chattr.waitForFinished() || chattr.exitCode() != 0)
        QSKIP("this file system or user cannot make a folder immovable (chattr +i)");
    const auto unlock = qScopeGuard([&] {
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), held});
    });
    const auto earlier = testenv::treeOf(install);
    const QString workFolder = path(QStringLiteral("TambrixSetup"));
    const QString package = writeUpdatePackage(workFolder);
    QVERIFY(!package.isEmpty());
    QString error;
    QVERIFY(!deployPackage(install, package, workFolder, QStringLiteral("1.0"), error));
    QCOMPARE(error, QStringLiteral("Не удалось отложить %1 прежней версии: файл или папка заняты "
                                   "другой программой или защищены от изменения. Установленная "
                                   "программа не изменена. Закройте программы, которые могут "
                                   "использовать её файлы, и нажмите «Повторить».")
                        .arg(held));
    QCOMPARE(testenv::treeOf(install), earlier);
}

QTEST_MAIN(tst_Pipeline)
#include "tst_pipeline.moc"
