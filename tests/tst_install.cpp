// The install sequence behind the Install button, in process: a loopback
// HTTPS update server, real packages, the stand-ins on PATH.
#include "messagebox.h"
#include "testenv.h"
#include "testserver.h"
#include "ziphelper.h"

#include "installer.h"

#include <QElapsedTimer>
#include <QSslConfiguration>

using testserver::Request;
using testserver::respond;
using testserver::Server;

namespace {

// The installed "application": records where it was started.
const QByteArray launcher = "#!/bin/sh\necho \"$PWD\" >> \"$HOME/launched.txt\"\n";

QByteArray makePackage(const QString &folder, bool withExecutable = true)
{
    const QString zip = folder + QLatin1String("/built.zip");
    QList<testzip::Entry> entries{testzip::makeFile("tambrix.ico", "icon"),
                                  testzip::makeFile("lib/core.dll", QByteArray(5000, 'c'))};
    if (withExecutable)
        entries.prepend(testzip::makeFile("TambrixDesktop.exe", launcher, 0755));
    if (!testzip::write(zip, entries))
        return {};
    return testenv::readAll(zip);
}

// Records what the status and detail lines show each time the status line
// is painted, which happens at the sequence's pumps.
class PaintRecorder : public QObject
{
public:
    explicit PaintRecorder(SetupDialog *dialog) : dialog(dialog)
    {
        dialog->updStatus->installEventFilter(this);
    }
    QStringList painted;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == dialog->updStatus && event->type() == QEvent::Paint) {
            const QString seen =
                dialog->updStatus->text() + QLatin1String(" | ") + dialog->updDetail->text();
            if (painted.isEmpty() || painted.last() != seen)
                painted << seen;
        }
        return false;
    }

private:
    SetupDialog *dialog;
};

struct Seen
{
    QString status, detail, version;
    bool busy = false;
    bool barVisible = false;
};

} // namespace

class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void emptyFolderWarns_data();
    void emptyFolderWarns();
    void protectedFoldersRefused_data();
    void protectedFoldersRefused();
    void ownFoldersAllowed_data();
    void ownFoldersAllowed();
    void freshInstall();
    void reuseAndRedownload();
    void checksumMismatchThenRetry();
    void fatalFailures_data();
    void fatalFailures();
    void noShortcutsWhenUnticked();
    void nonFatalFailuresShownBeforeClosing();

private:
    void serve(const QByteArray &manifestJson, const QByteArray &package, int packageStatus = 200);
    QString path(const QString &relative) const
    {
        return work->path() + QLatin1Char('/') + relative;
    }
    QString workFolder() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
               QLatin1String("/TambrixSetup");
    }
    QString homeFile(const QString &relative) const
    {
        return QDir::homePath() + QLatin1Char('/') + relative;
    }
    int packageRequests() const
    {
        int n = 0;
        for (const Request &r : server->requests)
            n += r.path.startsWith("/files/");
        return n;
    }

    testserver::Pki pki;
    QScopedPointer<Server> server;
    QScopedPointer<QTemporaryDir> work;
    QByteArray package;
    SetupDialog *watched = nullptr;
    Seen atManifest, atPackage;
};

void tst_Install::initTestCase()
{
    pki = testserver::makeTrustedPki(testenv::environment().root.path() + QLatin1String("/pki"));
    QVERIFY2(pki.error.isEmpty(), qPrintable(pki.error));
}

void tst_Install::init()
{
    work.reset(new QTemporaryDir(testenv::environment().temp() + QLatin1String("/inst-XXXXXX")));
    QVERIFY(work->isValid());
    server.reset(new Server(pki.trustedCertificate, pki.trustedKey));
    testUpdateBaseUrl = server->origin();
    package = makePackage(work->path());
    QVERIFY(!package.isEmpty());
    atManifest = atPackage = Seen();
}

void tst_Install::cleanup()
{
    // Each test starts without what an earlier one installed.
    QDir(workFolder()).removeRecursively();
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QLatin1String("/TambrixSetup"))
        .removeRecursively();
    QFile::remove(homeFile(QStringLiteral("launched.txt")));
    QFile::remove(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
                  QLatin1String("/Tambrix.lnk"));
    QFile::remove(QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
                  QLatin1String("/Tambrix.lnk"));
    watched = nullptr;
}

void tst_Install::serve(const QByteArray &manifestJson, const QByteArray &packageBytes,
                        int packageStatus)
{
    server->setHandler([this, manifestJson, packageBytes, packageStatus](QTcpSocket *socket,
                                                                         const Request &request) {
        auto seen = [this] {
            Seen s;
            if (watched) {
                s.status = watched->updStatus->text();
                s.detail = watched->updDetail->text();
                s.version = watched->updVersion->text();
                s.busy = !watched->updNow->isEnabled() && !watched->updLater->isEnabled() &&
                         !watched->pathEdit->isEnabled() && !watched->startMenuBox->isEnabled() &&
                         !watched->desktopBox->isEnabled();
                s.barVisible = watched->updBar->isVisible();
            }
            return s;
        };
        if (request.path == "/updates/desktop.json") {
            atManifest = seen();
            if (manifestJson.isEmpty())
                respond(socket, 404, "Not Found", "no manifest");
            else
                respond(socket, 200, "OK", manifestJson);
        } else {
            atPackage = seen();
            if (packageStatus == 200)
                respond(socket, 200, "OK", packageBytes);
            else
                respond(socket, packageStatus, "Not Found", "no package");
        }
    });
}

static QByteArray manifestFor(const QByteArray &packageBytes, const QByteArray &version = "1.4.2")
{
    return R"({"version":")" + version + R"(","url":"/files/TambrixDesktop-)" + version +
           R"(.zip","sha256":")" + testenv::sha256Hex(packageBytes) + R"(","size":)" +
           QByteArray::number(packageBytes.size()) + "}";
}

void tst_Install::emptyFolderWarns_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("blanks") << QStringLiteral("  \t ");
}

void tst_Install::emptyFolderWarns()
{
    QFETCH(QString, text);
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(text);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    QCOMPARE(box.title, QStringLiteral("Tambrix"));
    QCOMPARE(box.text, QStringLiteral("Укажите папку установки."));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(box.parentIsDialog);
    QVERIFY(dialog.updNow->isEnabled());
    QVERIFY(dialog.pathEdit->isEnabled());
    QCOMPARE(dialog.updStatus->text(),
             QStringLiteral("Установка последней версии Tambrix Desktop"));
    QVERIFY(!dialog.updBar->isVisible());
    QVERIFY(server->requests.isEmpty());
}

void tst_Install::protectedFoldersRefused_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("file-system root") << QStringLiteral("/");
    QTest::newRow("drive root") << QStringLiteral("C:/");
    QTest::newRow("bare drive") << QStringLiteral("C:");
    QTest::newRow("home") << QDir::homePath();
    QTest::newRow("home, trailing slash and blanks")
        << QStringLiteral("  ") + QDir::homePath() + QStringLiteral("/  ");
    QTest::newRow("desktop") << QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    QTest::newRow("documents") << QStandardPaths::writableLocation(
        QStandardPaths::DocumentsLocation);
    QTest::newRow("downloads") << QStandardPaths::writableLocation(
        QStandardPaths::DownloadLocation);
    QTest::newRow("temp") << QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    QTest::newRow("local app data") << qEnvironmentVariable("LOCALAPPDATA");
    QTest::newRow("dot-dot back to home") << QDir::homePath() + QStringLiteral("/Documents/..");
    // Folders that hold a standard folder: wiping them wipes it too.
    QTest::newRow("parent of home") << QFileInfo(QDir::homePath()).path();
    QTest::newRow("AppData, holding local app data")
        << QFileInfo(qEnvironmentVariable("LOCALAPPDATA")).path();
    QTest::newRow("holds the data location")
        << QFileInfo(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)).path();
}

void tst_Install::protectedFoldersRefused()
{
    QFETCH(QString, folder);
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(folder);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    const QString cleaned = QDir::cleanPath(folder.trimmed());
    QCOMPARE(box.title, QStringLiteral("Tambrix"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.text,
             QStringLiteral("Папка «%1» не подходит для установки: при удалении программы папка "
                            "установки удаляется целиком. Укажите отдельную папку, например «%2».")
                 .arg(cleaned, QDir(cleaned).filePath(QStringLiteral("Tambrix"))));
    QVERIFY(dialog.updNow->isEnabled());
    QVERIFY(!dialog.updBar->isVisible());
    QVERIFY(server->requests.isEmpty());
}

void tst_Install::ownFoldersAllowed_data()
{
    QTest::addColumn<QString>("folder");
    const QString home = QDir::homePath();
    QTest::newRow("default folder") << SetupDialog().pathEdit->text();
    QTest::newRow("sub-folder of home") << home + QStringLiteral("/Apps/Tambrix");
    QTest::newRow("sub-folder of documents")
        << QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
               QStringLiteral("/Tambrix");
    // Only whole path components count: "homeApps" is not inside "home".
    QTest::newRow("name starting like home") << home + QStringLiteral("Apps");
    QTest::newRow("name starting like the parent of home")
        << QFileInfo(home).path() + QStringLiteral("2/Tambrix");
}

void tst_Install::ownFoldersAllowed()
{
    QFETCH(QString, folder);
    QVERIFY2(!isProtectedFolder(folder), qPrintable(folder));
}

void tst_Install::freshInstall()
{
    serve(manifestFor(package), package);
    SetupDialog dialog;
    watched = &dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QString install = path(QStringLiteral("Apps/Tambrix"));
    dialog.pathEdit->setText(QStringLiteral("  ") + install + QStringLiteral("/  "));
    PaintRecorder recorder(&dialog);
    dialog.startInstall();

    // Every stage's texts were painted before its blocking step ran.
    const QStringList stages = {
        QStringLiteral("Получение информации о версии… | Подготовка…"),
        QStringLiteral("Загрузка Tambrix Desktop… | Подготовка…"),
        QStringLiteral("Проверка контрольной суммы… | SHA-256"),
        QStringLiteral("Установка… | Распаковка в ") + install,
        QStringLiteral("Готово — запускаем Tambrix… | v1.4.2 → ") + install,
    };
    qsizetype from = 0;
    for (const QString &stage : stages) {
        from = recorder.painted.indexOf(stage, from);
        QVERIFY2(from >= 0, qPrintable(stage + QLatin1String(" not painted in order: ") +
                                       recorder.painted.join(QLatin1String(" / "))));
    }

    QCOMPARE(atManifest.status, QStringLiteral("Получение информации о версии…"));
    QCOMPARE(atManifest.detail, QStringLiteral("Подготовка…"));
    QCOMPARE(atManifest.version, QStringLiteral("Установка"));
    QVERIFY(atManifest.busy);
    QVERIFY(atManifest.barVisible);
    QCOMPARE(atPackage.status, QStringLiteral("Загрузка Tambrix Desktop…"));
    QCOMPARE(atPackage.version, QStringLiteral("v1.4.2"));
    QCOMPARE(atPackage.detail, QStringLiteral("Подготовка…"));

    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(dialog.updDetail->text(), QStringLiteral("v1.4.2 → ") + install);
    QCOMPARE(dialog.updBar->maximum(), 100);
    QCOMPARE(dialog.updBar->value(), 100);
    QVERIFY(!dialog.updNow->isEnabled()); // still locked while it closes

    QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
    QCOMPARE(testenv::readAll(install + QLatin1String("/Uninstall.cmd")).size(), 884);
    QVERIFY(QFile::exists(QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
                          QLatin1String("/Tambrix.lnk")));
    QVERIFY(QFile::exists(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
                          QLatin1String("/Tambrix.lnk")));
    QVERIFY(QFile::exists(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                          QLatin1String("/TambrixSetup/registry/HKEY_CURRENT_USER/Software/"
                                        "Microsoft/Windows/CurrentVersion/Uninstall/Tambrix.reg")));
    QCOMPARE(testenv::readAll(workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip")), package);
    QVERIFY(!QFile::exists(workFolder() + QLatin1String("/stage-1.4.2")));

    QTRY_COMPARE(testenv::readAll(homeFile(QStringLiteral("launched.txt"))),
                 install.toUtf8() + '\n');
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 3000);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

void tst_Install::reuseAndRedownload()
{
    serve(manifestFor(package), package);
    const QString install = path(QStringLiteral("Tambrix"));
    for (int run = 0; run < 2; ++run) {
        SetupDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.pathEdit->setText(install);
        PaintRecorder recorder(&dialog);
        dialog.startInstall();
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
        if (run == 1) {
            // Not downloaded, yet verified all the same.
            QVERIFY2(
                recorder.painted.contains(QStringLiteral("Проверка контрольной суммы… | SHA-256")),
                qPrintable(recorder.painted.join(QLatin1String(" / "))));
        }
    }
    QCOMPARE(packageRequests(), 1); // the second run reused the package
    QCOMPARE(server->requests.size(), 3);

    // A package of the same name with another digest is fetched again.
    const QString packageFile = workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip");
    QVERIFY(testenv::writeFile(packageFile, "stale bytes"));
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    dialog.startInstall();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(packageRequests(), 2);
    QCOMPARE(testenv::readAll(packageFile), package);
}

void tst_Install::checksumMismatchThenRetry()
{
    QByteArray damaged = package;
    damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x55);
    serve(manifestFor(package), damaged);
    SetupDialog dialog;
    dialog.show();
    const QString install = path(QStringLiteral("Tambrix"));
    dialog.pathEdit->setText(install);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    QCOMPARE(box.text, QStringLiteral("Контрольная сумма не совпала. Попробуйте ещё раз."));
    QCOMPARE(dialog.updDetail->text(), box.text);
    QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
    QVERIFY(!QFile::exists(workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip")));
    QVERIFY(!QFile::exists(install + QLatin1String("/TambrixDesktop.exe")));

    // The server is fixed; the same button runs everything again.
    serve(manifestFor(package), package);
    dialog.updNow->click();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
    QCOMPARE(packageRequests(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 3000);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

void tst_Install::fatalFailures_data()
{
    QTest::addColumn<QByteArray>("manifest"); // "VALID": for the package served
    QTest::addColumn<int>("packageStatus");
    QTest::addColumn<bool>("withExecutable");
    QTest::addColumn<QString>("message"); // "ORIGIN" stands for the server
    QTest::addColumn<QString>("versionLabel");
    QTest::newRow("manifest missing")
        << QByteArray() << 200 << true
        << QStringLiteral("Не удалось получить manifest: Error transferring "
                          "ORIGIN/updates/desktop.json - server replied: Not Found")
        << QStringLiteral("Установка");
    QTest::newRow("manifest incomplete")
        << QByteArray(R"({"url":"/p.zip"})") << 200 << true
        << QStringLiteral("Не удалось получить manifest: Manifest неполный")
        << QStringLiteral("Установка");
    QTest::newRow("version with separators")
        << QByteArray(R"({"version":"../../1.0","url":"/p.zip"})") << 200 << true
        << QStringLiteral("Не удалось получить manifest: Manifest содержит недопустимую "
                          "версию (символы / и \\ запрещены)")
        << QStringLiteral("Установка");
    QTest::newRow("package missing")
        << QByteArray("VALID") << 404 << true
        << QStringLiteral("Ошибка загрузки: Error transferring "
                          "ORIGIN/files/TambrixDesktop-1.4.2.zip - server replied: Not Found")
        << QStringLiteral("v1.4.2");
    QTest::newRow("no executable in the package")
        << QByteArray("VALID") << 200 << false << QStringLiteral("В архиве нет TambrixDesktop.exe")
        << QStringLiteral("v1.4.2");
}

void tst_Install::fatalFailures()
{
    QFETCH(QByteArray, manifest);
    QFETCH(int, packageStatus);
    QFETCH(bool, withExecutable);
    QFETCH(QString, message);
    QFETCH(QString, versionLabel);
    const QByteArray served = withExecutable ? package : makePackage(work->path(), false);
    serve(manifest == "VALID" ? manifestFor(served) : manifest, served, packageStatus);
    message.replace(QStringLiteral("ORIGIN"), server->origin());

    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    dialog.desktopBox->setChecked(false);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    QCOMPARE(box.title, QStringLiteral("Tambrix Setup"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, message);
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Ошибка установки"));
    QCOMPARE(dialog.updDetail->text(), message);
    QCOMPARE(dialog.updVersion->text(), versionLabel);
    QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
    QVERIFY(dialog.updNow->isEnabled() && dialog.updLater->isEnabled() &&
            dialog.pathEdit->isEnabled());
    QVERIFY(!dialog.desktopBox->isChecked()); // what the user chose is kept for the retry
    QVERIFY(dialog.isVisible());
    QVERIFY(!QFile::exists(homeFile(QStringLiteral("launched.txt"))));
}

void tst_Install::noShortcutsWhenUnticked()
{
    serve(manifestFor(package), package);
    // Records every shortcut script; the rest goes to the real stand-in.
    testenv::FakeProgram fake(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                              "case \"$3\" in *WScript.Shell*) echo \"$3\" >> \"" +
                                  QFile::encodeName(path(QStringLiteral("shortcut-runs"))) +
                                  "\"; exit 1;; esac\nexec \"" TAMBRIX_PLATFORM_BIN
                                  "/powershell\" \"$@\"");
    QVERIFY(fake.ok);
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    dialog.startMenuBox->setChecked(false);
    dialog.desktopBox->setChecked(false);
    dialog.startInstall();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(dialog.updDetail->text(),
             QStringLiteral("v1.4.2 → ") + path(QStringLiteral("Tambrix")));
    QVERIFY(!QFile::exists(path(QStringLiteral("shortcut-runs"))));
    QVERIFY(QFile::exists(path(QStringLiteral("Tambrix/Uninstall.cmd"))));
}

void tst_Install::nonFatalFailuresShownBeforeClosing()
{
    serve(manifestFor(package), package);
    testenv::FakeProgram fake(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                              "case \"$3\" in *WScript.Shell*) echo 'COM error' >&2; exit 1;; "
                              "esac\nexec \"" TAMBRIX_PLATFORM_BIN "/powershell\" \"$@\"");
    QVERIFY(fake.ok);
    // A folder where Uninstall.cmd should go: the script cannot be written.
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(QDir().mkpath(install + QLatin1String("/Uninstall.cmd")));

    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    QElapsedTimer sinceStart;
    sinceStart.start();
    dialog.startInstall();
    const qint64 finishedAt = sinceStart.elapsed();

    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(dialog.updDetail->text(),
             QStringLiteral("v1.4.2 → %1\nВнимание: ярлык в меню «Пуск» не создан: COM error; "
                            "ярлык на рабочем столе не создан: COM error; Uninstall.cmd не "
                            "записан, программы не будет в списке установленных")
                 .arg(install));
    QVERIFY(!QFile::exists(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QLatin1String("/TambrixSetup/registry")));
    QTRY_VERIFY(QFile::exists(homeFile(QStringLiteral("launched.txt"))));
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 8000);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    // Open long enough to be read, not the usual 600 ms.
    QVERIFY2(sinceStart.elapsed() - finishedAt >= 3500,
             qPrintable(QString::number(sinceStart.elapsed() - finishedAt)));
}

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
