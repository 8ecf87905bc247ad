// The stand-in against real PowerShell: the unpack, copy and move scripts,
// built by the installer, run on identical trees by both; the resulting
// trees, the exit codes and whether anything was written to standard error
// must agree. A disagreement is a finding: the stand-in is fixed, or the
// difference is explained in docs/platform.md and pinned here.
#include "testenv.h"
#include "ziphelper.h"

#include "installer.h"

#include <QProcess>

namespace {

struct Result
{
    int exitCode = -1;
    bool saidSomething = false;
    QString standardError;
    QMap<QString, QByteArray> tree;
};

QString realPowerShellFolder()
{
    return QStringLiteral(TAMBRIX_BINARY_DIR "/platform-pwsh");
}

// A zip with no entries and an archive comment: the end record alone.
QByteArray emptyZipWithComment(const QByteArray &comment)
{
    QByteArray zip("PK\x05\x06", 4);
    zip += QByteArray(16, '\0');
    zip += char(comment.size() & 0xFF);
    zip += char(comment.size() >> 8);
    return zip + comment;
}

} // namespace

class tst_Differential : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void sameOutcome_data();
    void sameOutcome();

private:
    Result run(const QString &folder, const QString &sandbox, const QString &script);
    QScopedPointer<QTemporaryDir> work;
};

void tst_Differential::initTestCase()
{
    if (!QFile::exists(realPowerShellFolder() + QLatin1String("/powershell")))
        QSKIP("no real-PowerShell build of the stand-in");
}

void tst_Differential::init()
{
    work.reset(new QTemporaryDir(testenv::environment().temp() + QLatin1String("/diff-XXXXXX")));
    QVERIFY(work->isValid());
}

Result tst_Differential::run(const QString &folder, const QString &sandbox, const QString &script)
{
    QProcess process;
    process.setWorkingDirectory(sandbox);
    process.start(folder + QLatin1String("/powershell"),
                  {QStringLiteral("-NoProfile"), QStringLiteral("-Command"), script});
    process.closeWriteChannel();
    Result result;
    if (!process.waitForFinished(120000))
        return result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.standardError = QString::fromUtf8(process.readAllStandardError()).trimmed();
    result.saidSomething = !result.standardError.isEmpty();
    result.tree = testenv::treeOf(sandbox);
    result.tree.remove(QStringLiteral("package.zip"));
    return result;
}

// Each scenario lays out a sandbox (SANDBOX in the script's values stands for
// it) and names the script to run in it.
void tst_Differential::sameOutcome_data()
{
    QTest::addColumn<QString>("scenario");
    for (const char *name :
         {"unpack: hostile names, hidden files, nested folders",
          "unpack: brackets in the destination",
          "unpack: brackets in the destination, which exists (as the installer makes it)",
          "unpack: empty zip with a comment", "unpack: bzip2 entries",
          "unpack: executable as a symlink", "unpack: over an existing stage",
          "copy: over an earlier installation", "copy: into a missing folder",
          "copy: into a missing folder from a root with brackets",
          "copy: an item that cannot be removed", "copy: a dangling link in the install folder",
          "move: nested tree up"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void tst_Differential::sameOutcome()
{
    QFETCH(QString, scenario);
    Result results[2];
    const QString folders[2] = {QStringLiteral(TAMBRIX_PLATFORM_BIN), realPowerShellFolder()};
    for (int side = 0; side < 2; ++side) {
        const QString sandbox =
            work->path() + (side == 0 ? QLatin1String("/standin") : QLatin1String("/pwsh"));
        QVERIFY(QDir().mkpath(sandbox));
        const QString zip = sandbox + QLatin1String("/package.zip");
        const QString stage = sandbox + QLatin1String("/stage");
        const QString install = sandbox + QLatin1String("/Apps/Tambrix");
        QString script;
        QString immutable;
        if (scenario.startsWith(QLatin1String("unpack: hostile"))) {
            QVERIFY(
                testzip::write(zip, {testzip::makeFile("TambrixDesktop.exe", "exe", 0755),
                                     testzip::makeFile(".hidden", "h"),
                                     testzip::makeFile("O'Brien’s [x64]/Программы/a b.txt", "deep"),
                                     testzip::makeFile("%1 $(x) `t.txt", "odd"),
                                     testzip::makeFolder("empty folder/")}));
            script = extractScript(zip, stage);
        } else if (scenario.startsWith(QLatin1String("unpack: brackets"))) {
            QVERIFY(testzip::write(zip, {testzip::makeFile("TambrixDesktop.exe", "exe")}));
            // PowerShell reads the destination as a pattern: it does not
            // find the folder there, and then cannot create it.
            if (scenario.contains(QLatin1String("exists")))
                QVERIFY(QDir().mkpath(sandbox + QLatin1String("/stage-[1.0]")));
            script = extractScript(zip, sandbox + QLatin1String("/stage-[1.0]"));
        } else if (scenario.contains(QLatin1String("empty zip"))) {
            QVERIFY(testenv::writeFile(zip, emptyZipWithComment("made by hand")));
            script = extractScript(zip, stage);
        } else if (scenario.contains(QLatin1String("bzip2"))) {
            QVERIFY(testenv::writeFile(sandbox + QLatin1String("/src/TambrixDesktop.exe"),
                                       QByteArray(5000, 'x')));
            QProcess zipper;
            zipper.setWorkingDirectory(sandbox + QLatin1String("/src"));
            zipper.start(QStringLiteral("zip"),
                         {QStringLiteral("-q"), QStringLiteral("-Z"), QStringLiteral("bzip2"), zip,
                          QStringLiteral("TambrixDesktop.exe")});
            QVERIFY(zipper.waitForFinished(30000) && zipper.exitCode() == 0);
            QVERIFY(QDir(sandbox + QLatin1String("/src")).removeRecursively());
            script = extractScript(zip, stage);
        } else if (scenario.contains(QLatin1String("symlink"))) {
            QVERIFY(
                testzip::write(zip, {testzip::makeFile("bin/real.exe", "exe", 0755),
                                     testzip::makeSymlink("TambrixDesktop.exe", "bin/real.exe")}));
            script = extractScript(zip, stage);
        } else if (scenario.contains(QLatin1String("existing stage"))) {
            QVERIFY(testzip::write(zip, {testzip::makeFile("TambrixDesktop.exe", "new")}));
            QVERIFY(testenv::writeFile(stage + QLatin1String("/TambrixDesktop.exe"), "old"));
            QVERIFY(testenv::writeFile(stage + QLatin1String("/stale.txt"), "stale"));
            script = extractScript(zip, stage);
        } else if (scenario.startsWith(QLatin1String("copy"))) {
            const QString root = sandbox + (scenario.contains(QLatin1String("brackets"))
                                                ? QLatin1String("/stage/Tambrix [x64]")
                                                : QLatin1String("/stage/Tambrix-1.0"));
            QVERIFY(testenv::writeFile(root + QLatin1String("/TambrixDesktop.exe"), "new exe"));
            QVERIFY(testenv::writeFile(root + QLatin1String("/.hidden"), "new hidden"));
            QVERIFY(testenv::writeFile(root + QLatin1String("/lib/new.dll"), "new"));
            if (!scenario.contains(QLatin1String("missing"))) {
                QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"), "old"));
                QVERIFY(testenv::writeFile(install + QLatin1String("/lib/old.dll"), "old"));
                QVERIFY(testenv::writeFile(install + QLatin1String("/user.settings"), "keep"));
            }
            if (scenario.contains(QLatin1String("dangling"))) {
                // Test-Path says no to a link whose target is gone; the copy
                // must still replace it.
                QVERIFY(QFile::link(sandbox + QLatin1String("/gone"),
                                    install + QLatin1String("/.hidden")));
            }
            if (scenario.contains(QLatin1String("cannot be removed"))) {
                immutable = install + QLatin1String("/lib/old.dll");
                QProcess chattr;
                chattr.start(QStringLiteral("chattr"), {QStringLiteral("+i"), immutable});
                if (!chattr.waitForFinished(10000) || chattr.exitCode() != 0)
                    QSKIP("chattr +i is not available here");
            }
            script = copyScript(install, root);
        } else {
            QVERIFY(testenv::writeFile(install + QLatin1String("/Tambrix-1.0/TambrixDesktop.exe"),
                                       "nested"));
            QVERIFY(testenv::writeFile(install + QLatin1String("/Tambrix-1.0/.hidden"), "h"));
            QVERIFY(testenv::writeFile(install + QLatin1String("/Tambrix-1.0/lib/x.dll"), "x"));
            script = moveScript(install + QLatin1String("/Tambrix-1.0"), install);
        }
        results[side] = run(folders[side], sandbox, script);
        if (!immutable.isEmpty())
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), immutable});
        QVERIFY2(results[side].exitCode >= 0, "the script did not finish");
    }
    const Result &standIn = results[0], &real = results[1];
    QVERIFY2(standIn.exitCode == real.exitCode,
             qPrintable(QStringLiteral("exit codes: stand-in %1, PowerShell %2 (%3)")
                            .arg(standIn.exitCode)
                            .arg(real.exitCode)
                            .arg(real.standardError)));
    QVERIFY2(standIn.saidSomething == real.saidSomething,
             qPrintable(QStringLiteral("standard error: stand-in «%1», PowerShell «%2»")
                            .arg(standIn.standardError, real.standardError)));
    QCOMPARE(standIn.tree, real.tree);
}

QTEST_MAIN(tst_Differential)
#include "tst_differential.moc"
