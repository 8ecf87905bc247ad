// Faults and hostile input: the network, the disk, hostile folder names,
// versions and packages, and failing helper programs. Each case ends either
// in a correct installation or in a clear message with nothing lost.
#include "messagebox.h"
#include "testenv.h"
#include "testserver.h"
#include "ziphelper.h"

#include "installer.h"

#include <QSslConfiguration>

#include <functional>

using testserver::Request;
using testserver::respond;
using testserver::Server;

namespace {

const QByteArray launcher = "#!/bin/sh\necho \"$PWD\" >> \"$HOME/launched.txt\"\n";

using Route = std::function<void(QTcpSocket *)>;

Route ok(const QByteArray &body)
{
    return [body](QTcpSocket *socket) {
        respond(socket, 200, "OK", body);
    };
}

Route status(int code, const QByteArray &reason)
{
    return [code, reason](QTcpSocket *socket) {
        respond(socket, code, reason, "<html/>");
    };
}

Route redirect(int code, const QByteArray &location)
{
    return [code, location](QTcpSocket *socket) {
        respond(socket, code, "Moved", {}, "Location: " + location + "\r\n");
    };
}

QByteArray manifestFor(const QByteArray &package, const QByteArray &version = "1.0")
{
    return R"({"version":")" + version + R"(","url":"/files/p.zip","sha256":")" +
           testenv::sha256Hex(package) + R"(","size":)" + QByteArray::number(package.size()) + "}";
}

QByteArray zipOf(const QList<testzip::Entry> &entries, const QString &scratch)
{
    const QString path = scratch + QLatin1String("/built.zip");
    return testzip::write(path, entries) ? testenv::readAll(path) : QByteArray();
}

QList<testzip::Entry> goodEntries()
{
    return {testzip::makeFile("TambrixDesktop.exe", launcher, 0755),
            testzip::makeFile("tambrix.ico", "icon")};
}

struct RunResult
{
    bool finished = false; // the final texts were reached
    QString message;       // the failure message, from the message box
    QString detail;
};

} // namespace

class tst_Faults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void manifestNetworkFaults_data();
    void manifestNetworkFaults();
    void manifestStalls();
    void packageNetworkFaults_data();
    void packageNetworkFaults();
    void manifestDocuments_data();
    void manifestDocuments();
    void diskFaults_data();
    void diskFaults();
    void hostileFolders_data();
    void hostileFolders();
    void hostileVersions_data();
    void hostileVersions();
    void hostilePackages_data();
    void hostilePackages();
    void helperFaults_data();
    void helperFaults();

private:
    RunResult runInstall(const QString &folder);
    QString path(const QString &relative) const
    {
        return work->path() + QLatin1Char('/') + relative;
    }

    testserver::Pki pki;
    QScopedPointer<Server> server;
    QScopedPointer<QTemporaryDir> work;
    QHash<QByteArray, Route> routes;
};

void tst_Faults::initTestCase()
{
    pki = testserver::makeTrustedPki(testenv::environment().root.path() + QLatin1String("/pki"));
    QVERIFY2(pki.error.isEmpty(), qPrintable(pki.error));
}

void tst_Faults::init()
{
    work.reset(new QTemporaryDir(testenv::environment().temp() + QLatin1String("/fault-XXXXXX")));
    QVERIFY(work->isValid());
    // Each row starts from nothing of the previous row's: a slow row must fail
    // by its own time limit, never by reading what another row left.
    for (const QString &leftover :
         {QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
              QLatin1String("/Tambrix.lnk"),
          QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
              QLatin1String("/Tambrix.lnk"),
          QDir::homePath() + QLatin1String("/launched.txt")})
        QVERIFY(!QFile::exists(leftover) || QFile::remove(leftover));
    QVERIFY(removeTreeNoFollow(QDir::tempPath() + QLatin1String("/TambrixSetup")) &&
            removeTreeNoFollow(profileWorkFolder()));
    server.reset(new Server(pki.trustedCertificate, pki.trustedKey));
    testUpdateBaseUrl = server->origin();
    routes.clear();
    server->setHandler([this](QTcpSocket *socket, const Request &request) {
        const Route route = routes.value(request.path);
        if (route)
            route(socket);
        else
            respond(socket, 404, "Not Found", "<html/>");
    });
}

void tst_Faults::cleanup()
{
    QDir(QDir::tempPath() + QLatin1String("/TambrixSetup")).removeRecursively();
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QLatin1String("/TambrixSetup"))
        .removeRecursively();
    QFile::remove(QDir::homePath() + QLatin1String("/launched.txt"));
}

RunResult tst_Faults::runInstall(const QString &folder)
{
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(folder);
    dialog.desktopBox->setChecked(false);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    RunResult result;
    result.finished = dialog.updStatus->text() == QStringLiteral("Готово — запускаем Tambrix…");
    result.message = result.finished ? QString() : box.text;
    result.detail = dialog.updDetail->text();
    return result;
}

// ---- network: the manifest -------------------------------------------------

void tst_Faults::manifestNetworkFaults_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected"); // the message must start with this
    QTest::newRow("connection refused")
        << QStringLiteral("refused")
        << QStringLiteral("Не удалось получить manifest: Connection refused");
    QTest::newRow("expired certificate")
        << QStringLiteral("expired")
        << QStringLiteral(
               "Не удалось получить manifest: SSL handshake failed: The certificate has expired");
    QTest::newRow("certificate for another host")
        << QStringLiteral("wrong-host")
        << QStringLiteral("Не удалось получить manifest: SSL handshake failed: The host name did "
                          "not match any of the valid hosts for this certificate");
    QTest::newRow("301 to https followed") << QStringLiteral("301") << QString();
    QTest::newRow("redirect loop")
        << QStringLiteral("loop")
        << QStringLiteral("Не удалось получить manifest: Too many redirects");
    QTest::newRow("403") << QStringLiteral("403")
                         << QStringLiteral("Не удалось получить manifest: Error transferring");
    QTest::newRow("503") << QStringLiteral("503")
                         << QStringLiteral("Не удалось получить manifest: Error transferring");
    QTest::newRow("50 MB manifest")
        << QStringLiteral("huge")
        << QStringLiteral("Не удалось получить manifest: Manifest слишком большой (больше 1 МБ)");
}

void tst_Faults::manifestNetworkFaults()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    const QByteArray package = zipOf(goodEntries(), work->path());
    routes.insert("/files/p.zip", ok(package));
    QScopedPointer<Server> other;
    if (kind == QLatin1String("refused")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        testUpdateBaseUrl = QStringLiteral("https://localhost:%1").arg(probe.serverPort());
    } else if (kind == QLatin1String("expired") || kind == QLatin1String("wrong-host")) {
        const QString folder = path(kind);
        QVERIFY(QDir().mkpath(folder));
        const QString host = kind == QLatin1String("expired") ? QStringLiteral("localhost")
                                                              : QStringLiteral("other.example");
        QString error;
        QFile::copy(testenv::environment().root.path() + QLatin1String("/pki/ca.pem"),
                    folder + QLatin1String("/ca.pem"));
        QFile::copy(testenv::environment().root.path() + QLatin1String("/pki/ca.key"),
                    folder + QLatin1String("/ca.key"));
        QVERIFY(testenv::writeFile(folder + QLatin1String("/e.ext"),
                                   "subjectAltName=DNS:" + host.toLatin1() + '\n'));
        QVERIFY2(testserver::runOpenssl(folder,
                                        {QStringLiteral("req"), QStringLiteral("-newkey"),
                                         QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
                                         QStringLiteral("-subj"), QStringLiteral("/CN=") + host,
                                         QStringLiteral("-keyout"), QStringLiteral("s.key"),
                                         QStringLiteral("-out"), QStringLiteral("s.csr")},
                                        error),
                 qPrintable(error));
        QVERIFY2(testserver::runOpenssl(
                     folder,
                     {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                      QStringLiteral("s.csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
                      QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                      QStringLiteral("-CAcreateserial"), QStringLiteral("-days"),
                      kind == QLatin1String("expired") ? QStringLiteral("0") : QStringLiteral("5"),
                      QStringLiteral("-extfile"), QStringLiteral("e.ext"), QStringLiteral("-out"),
                      QStringLiteral("s.pem")},
                     error),
                 qPrintable(error));
        if (kind == QLatin1String("expired"))
            QTest::qWait(1100); // valid until this very second
        other.reset(
            new Server(QSslCertificate(testenv::readAll(folder + QLatin1String("/s.pem"))),
                       QSslKey(testenv::readAll(folder + QLatin1String("/s.key")), QSsl::Rsa)));
        other->setHandler([](QTcpSocket *socket, const Request &) {
            respond(socket, 200, "OK", R"({"version":"1","url":"/p.zip"})");
        });
        testUpdateBaseUrl = other->origin();
    } else if (kind == QLatin1String("301")) {
        routes.insert("/updates/desktop.json",
                      redirect(301, server->origin().toLatin1() + "/moved/desktop.json"));
        routes.insert("/moved/desktop.json", ok(manifestFor(package)));
    } else if (kind == QLatin1String("loop")) {
        routes.insert("/updates/desktop.json",
                      redirect(302, server->origin().toLatin1() + "/updates/desktop.json"));
    } else if (kind == QLatin1String("huge")) {
        routes.insert("/updates/desktop.json",
                      ok("{\"version\":\"1.0\",\"url\":\"/files/p.zip\",\"notes\":\"" +
                         QByteArray(50 * 1024 * 1024, 'n') + "\"}"));
    } else {
        routes.insert("/updates/desktop.json", status(kind.toInt(), "Refused"));
    }

    const RunResult result = runInstall(path(QStringLiteral("Tambrix")));
    if (expected.isEmpty()) {
        QVERIFY2(result.finished, qPrintable(result.message));
        return;
    }
    QVERIFY(!result.finished);
    QVERIFY2(result.message.startsWith(expected), qPrintable(result.message));
    QVERIFY(!QFile::exists(path(QStringLiteral("Tambrix"))));
    QVERIFY(!QFile::exists(QDir::tempPath() + QLatin1String("/TambrixSetup")));
}

void tst_Faults::manifestStalls()
{
    // Headers, then silence: the 15 s inactivity limit ends the wait.
    routes.insert("/updates/desktop.json", [](QTcpSocket *socket) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"version\":");
    });
    SetupDialog dialog;
    Manifest manifest;
    QString error;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!dialog.fetchManifest(manifest, error));
    QCOMPARE(error, QStringLiteral("Operation canceled"));
    // Ended by the 15 s limit: not sooner, and not by a longer one.
    QVERIFY2(timer.elapsed() >= 14000 && timer.elapsed() < 25000,
             qPrintable(QString::number(timer.elapsed())));
}

// ---- network: the package --------------------------------------------------

void tst_Faults::packageNetworkFaults_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected"); // start of the message; empty: installs
    QTest::newRow("403") << QStringLiteral("403")
                         << QStringLiteral("Ошибка загрузки: Error transferring");
    QTest::newRow("500") << QStringLiteral("500")
                         << QStringLiteral("Ошибка загрузки: Error transferring");
    QTest::newRow("503") << QStringLiteral("503")
                         << QStringLiteral("Ошибка загрузки: Error transferring");
    QTest::newRow("length larger than body, closed")
        << QStringLiteral("short") << QStringLiteral("Ошибка загрузки: ");
    QTest::newRow("body larger than announced") << QStringLiteral("long") << QString();
    QTest::newRow("chunked body cut")
        << QStringLiteral("chunked-cut") << QStringLiteral("Ошибка загрузки: ");
    QTest::newRow("chunked body whole") << QStringLiteral("chunked") << QString();
}

void tst_Faults::packageNetworkFaults()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    const QByteArray package = zipOf(goodEntries(), work->path());
    routes.insert("/updates/desktop.json", ok(manifestFor(package)));
    if (kind == QLatin1String("short")) {
        routes.insert("/files/p.zip", [package](QTcpSocket *socket) {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: " +
                          QByteArray::number(package.size() + 1000) + "\r\n\r\n" + package);
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
                if (socket->bytesToWrite() == 0)
                    socket->disconnectFromHost();
            });
        });
    } else if (kind == QLatin1String("long")) {
        routes.insert("/files/p.zip", [package](QTcpSocket *socket) {
            socket->write(
                "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(package.size()) +
                "\r\nConnection: close\r\n\r\n" + package + QByteArray(5000, 'X'));
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
                if (socket->bytesToWrite() == 0)
                    socket->disconnectFromHost();
            });
        });
    } else if (kind.startsWith(QLatin1String("chunked"))) {
        const bool cut = kind == QLatin1String("chunked-cut");
        routes.insert("/files/p.zip", [package, cut](QTcpSocket *socket) {
            QByteArray body;
            const qsizetype half = package.size() / 2;
            for (const QByteArray &piece : {package.left(half), package.mid(half)}) {
                body += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
                if (cut)
                    break;
            }
            if (!cut)
                body += "0\r\n\r\n";
            socket->write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body);
            QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
                if (socket->bytesToWrite() == 0)
                    socket->disconnectFromHost();
            });
        });
    } else {
        routes.insert("/files/p.zip", status(kind.toInt(), "Refused"));
    }
    const RunResult result = runInstall(path(QStringLiteral("Tambrix")));
    const QString packageFile =
        QDir::tempPath() + QLatin1String("/TambrixSetup/TambrixDesktop-1.0.zip");
    if (expected.isEmpty()) {
        QVERIFY2(result.finished, qPrintable(result.message));
        QCOMPARE(testenv::readAll(packageFile), package);
        return;
    }
    QVERIFY(!result.finished);
    QVERIFY2(result.message.startsWith(expected) && result.message.size() > expected.size(),
             qPrintable(result.message));
    QVERIFY(!QFile::exists(packageFile));
}

// ---- the manifest document --------------------------------------------------

void tst_Faults::manifestDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QString>("expected"); // start of the message; empty: installs
    const QByteArray good = R"({"version":"1.0","url":"/files/p.zip"})";
    // Qt's JSON reader skips a UTF-8 byte-order mark; such a manifest is fine.
    QTest::newRow("byte-order mark") << QByteArray("\xEF\xBB\xBF") + good << QString();
    QTest::newRow("trailing garbage")
        << good + "garbage"
        << QStringLiteral("Не удалось получить manifest: Некорректный manifest");
    QTest::newRow("duplicate keys, the last wins")
        << QByteArray(R"({"version":"0.1","url":"/nowhere","version":"1.0","url":"/files/p.zip"})")
        << QString();
    QTest::newRow("version of 10 000 characters")
        << QByteArray(R"({"version":")" + QByteArray(10000, '9') + R"(","url":"/files/p.zip"})")
        << QStringLiteral("Ошибка загрузки: Не удалось создать файл загрузки");
    QTest::newRow("NUL in the version")
        << QByteArray(R"({"version":"1\u0000","url":"/files/p.zip"})")
        << QStringLiteral("Не удалось получить manifest: Manifest содержит недопустимую версию");
}

void tst_Faults::manifestDocuments()
{
    QFETCH(QByteArray, document);
    QFETCH(QString, expected);
    routes.insert("/updates/desktop.json", ok(document));
    routes.insert("/files/p.zip", ok(zipOf(goodEntries(), work->path())));
    const RunResult result = runInstall(path(QStringLiteral("Tambrix")));
    if (expected.isEmpty()) {
        QVERIFY2(result.finished, qPrintable(result.message));
        QCOMPARE(result.detail, QStringLiteral("v1.0 → ") + path(QStringLiteral("Tambrix")));
        return;
    }
    QVERIFY(!result.finished);
    QVERIFY2(result.message.startsWith(expected), qPrintable(result.message));
}

// ---- the disk ---------------------------------------------------------------

void tst_Faults::diskFaults_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected"); // start of the message
    QTest::newRow("work folder not creatable")
        << QStringLiteral("work-folder")
        << QStringLiteral("Ошибка загрузки: Не удалось создать файл загрузки");
    QTest::newRow("package path taken by a folder")
        << QStringLiteral("package-folder")
        << QStringLiteral("Ошибка загрузки: Не удалось создать файл загрузки");
    // Nothing is replaced: the earlier release cannot even be moved aside.
    QTest::newRow("install folder is a file")
        << QStringLiteral("install-file") << QStringLiteral("Не удалось создать папку ");
    QTest::newRow("undeletable file in the install folder")
        << QStringLiteral("immutable") << QStringLiteral("Не удалось отложить ");
    QTest::newRow("read-only install folder")
        << QStringLiteral("read-only") << QStringLiteral("Не удалось создать папку ");
    QTest::newRow("package deleted before the checksum")
        << QStringLiteral("deleted")
        << QStringLiteral("Контрольная сумма не совпала. Попробуйте ещё раз.");
    QTest::newRow("package deleted, manifest without digest")
        << QStringLiteral("deleted-no-digest") << QStringLiteral("Expand-Archive : The path '");
}

void tst_Faults::diskFaults()
{
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    const QByteArray package = zipOf(goodEntries(), work->path());
    routes.insert("/updates/desktop.json", ok(manifestFor(package)));
    routes.insert("/files/p.zip", ok(package));
    const QString install = path(QStringLiteral("Tambrix"));
    const QByteArray savedTmp = qgetenv("TMPDIR");
    QString immutable;
    if (kind == QLatin1String("work-folder")) {
        QVERIFY(testenv::writeFile(path(QStringLiteral("not-a-folder")), "x"));
        qputenv("TMPDIR", QFile::encodeName(path(QStringLiteral("not-a-folder/tmp"))));
    } else if (kind == QLatin1String("package-folder")) {
        QVERIFY(QDir().mkpath(QDir::tempPath() +
                              QLatin1String("/TambrixSetup/TambrixDesktop-1.0.zip")));
    } else if (kind == QLatin1String("install-file")) {
        QVERIFY(testenv::writeFile(install, "a file where the folder should be"));
    } else if (kind.startsWith(QLatin1String("deleted"))) {
        if (kind == QLatin1String("deleted-no-digest"))
            routes.insert("/updates/desktop.json", ok(R"({"version":"1.0","url":"/files/p.zip"})"));
        testAfterPackageReady = [](const QString &package) {
            QFile::remove(package);
        };
    } else {
        // Either a locked file in the install folder, or the folder itself
        // locked (what read-only means for root, who ignores permissions).
        immutable = kind == QLatin1String("read-only")
                        ? install
                        : install + QLatin1String("/TambrixDesktop.exe");
        // An earlier installation being updated: no question is asked.
        QVERIFY(testenv::writeFile(install + QLatin1String("/TambrixDesktop.exe"),
                                   "the old version, locked"));
        QVERIFY(writeUninstallScript(install));
        QProcess chattr;
        chattr.start(QStringLiteral("chattr"), {QStringLiteral("+i"), immutable});
        if (!chattr.waitForFinished() || chattr.exitCode() != 0)
            QSKIP("this file system or user cannot make a file undeletable (chattr +i)");
    }
    const RunResult result = runInstall(install);
    qputenv("TMPDIR", savedTmp);
    testAfterPackageReady = nullptr;
    if (!immutable.isEmpty())
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), immutable});
    QVERIFY(!result.finished);
    QVERIFY2(result.message.startsWith(expected), qPrintable(result.message));
    if (kind == QLatin1String("install-file"))
        QCOMPARE(testenv::readAll(install), QByteArray("a file where the folder should be"));
    // A locked file, or a locked folder's, is left as it was.
    if (kind == QLatin1String("immutable") || kind == QLatin1String("read-only"))
        QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")),
                 QByteArray("the old version, locked"));
}

// ---- hostile folder names and versions ---------------------------------------

void tst_Faults::hostileFolders_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("installedAs"); // empty: the name itself; "REFUSED": not installed
    for (const char *name : {"O'Brien", "O’Brien", "‘quoted’", "$env", "$(Get-Date)", "`t", "a;b",
                             "[x]", "a&b", "a^b", "a)b(", "Программы"})
        QTest::newRow(name) << QString::fromUtf8(name) << QString();
    QTest::newRow("leading and trailing blanks are trimmed")
        << QStringLiteral("  Apps  ") << QStringLiteral("  Apps");
    QTest::newRow("200+ characters") << QString(210, QLatin1Char('d')) << QString();
    // cmd would expand these when the uninstaller's clean-up runs (! with
    // delayed expansion on), and Windows allows no colon in a name.
    for (const char *name : {"100%", "%1 %2", "%USERPROFILE%", "wow!", "!a!", "$env:PATH"})
        QTest::newRow(name) << QString::fromUtf8(name) << QStringLiteral("REFUSED");
}

void tst_Faults::hostileFolders()
{
    QFETCH(QString, name);
    QFETCH(QString, installedAs);
    const QByteArray package = zipOf(goodEntries(), work->path());
    routes.insert("/updates/desktop.json", ok(manifestFor(package)));
    routes.insert("/files/p.zip", ok(package));
    // The name goes last, so its trailing blanks meet the trimming.
    const QString typed = path(QStringLiteral("Users/")) + name;
    const QString install =
        path(QStringLiteral("Users/")) + (installedAs.isEmpty() ? name : installedAs);
    const RunResult result = runInstall(typed);
    if (installedAs == QLatin1String("REFUSED")) {
        QVERIFY(!result.finished);
        QVERIFY2(result.message.startsWith(
                     QStringLiteral("Папка «%1» не подходит для установки: ").arg(typed)),
                 qPrintable(result.message));
        QVERIFY(!QFile::exists(typed));
        return;
    }
    QVERIFY2(result.finished, qPrintable(result.message));
    QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
    QCOMPARE(testenv::readAll(install + QLatin1String("/Uninstall.cmd")).size(), 884);
    const QByteArray link =
        testenv::readAll(QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
                         QLatin1String("/Tambrix.lnk"));
    QVERIFY2(link.contains("\nWorkingDirectory=" + install.toUtf8() + '\n'),
             qPrintable(link.isEmpty()
                            ? QStringLiteral("this row's shortcut was not made: ") + result.detail
                            : QString::fromUtf8(link)));
    QTRY_COMPARE_WITH_TIMEOUT(testenv::readAll(QDir::homePath() + QLatin1String("/launched.txt")),
                              install.toUtf8() + '\n', 30000);
}

void tst_Faults::hostileVersions_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::newRow("dot-dot inside") << QByteArray("1..2");
    QTest::newRow("leading dots") << QByteArray("..1");
    QTest::newRow("blanks") << QByteArray(" 1.0 beta");
    QTest::newRow("leading v") << QByteArray("v2.0");
    QTest::newRow("cyrillic") << QByteArray("версия-3");
    QTest::newRow("quotes") << QByteArray("1'0’");
}

void tst_Faults::hostileVersions()
{
    QFETCH(QByteArray, version);
    const QByteArray package = zipOf(goodEntries(), work->path());
    routes.insert("/updates/desktop.json", ok(manifestFor(package, version)));
    routes.insert("/files/p.zip", ok(package));
    const QString install = path(QStringLiteral("Tambrix"));
    const RunResult result = runInstall(install);
    QVERIFY2(result.finished, qPrintable(result.message));
    const QString v = QString::fromUtf8(version);
    QCOMPARE(result.detail, QStringLiteral("v%1 → %2").arg(v, install));
    QCOMPARE(testenv::readAll(QDir::tempPath() + QLatin1String("/TambrixSetup/TambrixDesktop-") +
                              v + QLatin1String(".zip")),
             package);
    // Nothing was written outside the work folder's own entries.
    const QStringList entries = QDir(QDir::tempPath() + QLatin1String("/TambrixSetup"))
                                    .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QCOMPARE(entries, QStringList{QStringLiteral("TambrixDesktop-") + v + QLatin1String(".zip")});
}

// ---- hostile packages ---------------------------------------------------------

void tst_Faults::hostilePackages_data()
{
    using namespace testzip;
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<QString>("expected"); // start of the message; empty: installs
    // The published package itself is cut short (its digest is of the cut
    // bytes, so the download and the checksum pass).
    QTest::newRow("truncated archive")
        << QList<Entry>{makeFile("TambrixDesktop.exe", launcher, 0755),
                        makeFile("data.bin", QByteArray(200000, 'd')), makeFile("TRUNCATE", {})}
        << QStringLiteral("Expand-Archive : The archive file '");
    QTest::newRow("empty archive")
        << QList<Entry>{} << QStringLiteral("В архиве нет TambrixDesktop.exe");
    QTest::newRow("zip-slip")
        << QList<Entry>{makeFile("TambrixDesktop.exe", launcher, 0755),
                        makeFile("../../escaped.txt", "x")}
        << QStringLiteral("Expand-Archive : The archive entry '../../escaped.txt' would be "
                          "extracted outside the destination folder.");
    QTest::newRow("absolute entry")
        << QList<Entry>{makeFile("TambrixDesktop.exe", launcher, 0755),
                        makeFile("/tmp/tambrix-escaped.txt", "x")}
        << QStringLiteral("Expand-Archive : The archive entry '/tmp/tambrix-escaped.txt'");
    // Windows' zip reader knows no links: each becomes a small file that
    // holds the link's target, inside the install folder like any file.
    QTest::newRow("symlink out of the stage")
        << QList<Entry>{makeFile("TambrixDesktop.exe", launcher, 0755),
                        makeSymlink("home", "../../../..")}
        << QStringLiteral("FILE home=../../../..");
    QTest::newRow("executable is a symlink out")
        << QList<Entry>{makeSymlink("TambrixDesktop.exe", "/bin/sh")}
        << QStringLiteral("FILE TambrixDesktop.exe=/bin/sh");
    QTest::newRow("executable is a symlink inside")
        << QList<Entry>{makeFile("bin/real.exe", launcher, 0755),
                        makeSymlink("TambrixDesktop.exe", "bin/real.exe")}
        << QStringLiteral("FILE TambrixDesktop.exe=bin/real.exe");
    QTest::newRow("duplicate entries, the last wins")
        << QList<Entry>{makeFile("TambrixDesktop.exe", "first", 0755),
                        makeFile("TambrixDesktop.exe", launcher, 0755)}
        << QString();
    QList<Entry> many{makeFile("TambrixDesktop.exe", launcher, 0755)};
    for (int i = 0; i < 10000; ++i)
        many << makeFile("data/" + QByteArray::number(i / 100) + "/f" + QByteArray::number(i), "t");
    QTest::newRow("10 000 tiny files") << many << QString();
    QTest::newRow("1000:1 zip bomb, installed in full")
        << QList<Entry>{makeFile("TambrixDesktop.exe", launcher, 0755),
                        makeFile("zeros.bin", QByteArray(64 * 1024 * 1024, '\0'))}
        << QString();
}

void tst_Faults::hostilePackages()
{
    QFETCH(QList<testzip::Entry>, entries);
    QFETCH(QString, expected);
    const bool truncate = !entries.isEmpty() && entries.last().name == "TRUNCATE";
    if (truncate)
        entries.removeLast();
    QByteArray package = zipOf(entries, work->path());
    QVERIFY(!package.isEmpty());
    if (truncate)
        package.truncate(package.size() / 2);
    routes.insert("/updates/desktop.json", ok(manifestFor(package)));
    routes.insert("/files/p.zip", ok(package));
    const QString install = path(QStringLiteral("Tambrix"));
    const RunResult result = runInstall(install);
    if (expected.isEmpty()) {
        QVERIFY2(result.finished, qPrintable(result.message));
        QTRY_VERIFY(QFile::exists(QDir::homePath() + QLatin1String("/launched.txt")));
        return;
    }
    if (expected.startsWith(QLatin1String("FILE "))) {
        const QString name = expected.mid(5).section(QLatin1Char('='), 0, 0);
        QVERIFY2(result.finished, qPrintable(result.message));
        const QFileInfo installed(install + QLatin1Char('/') + name);
        QVERIFY(installed.isFile() && !installed.isSymLink());
        QCOMPARE(testenv::readAll(installed.filePath()),
                 expected.section(QLatin1Char('='), 1).toUtf8());
        return;
    }
    QVERIFY(!result.finished);
    QVERIFY2(result.message.startsWith(expected), qPrintable(result.message));
    QVERIFY(!QFile::exists(install + QLatin1String("/TambrixDesktop.exe")));
    QVERIFY(!QFile::exists(QStringLiteral("/tmp/tambrix-escaped.txt")));
    QVERIFY(!QFile::exists(QDir::tempPath() + QLatin1String("/escaped.txt")));
    QVERIFY(!QFile::exists(work->path() + QLatin1String("/escaped.txt")));
}

// ---- failing helper programs --------------------------------------------------

void tst_Faults::helperFaults_data()
{
    QTest::addColumn<QByteArray>("fake");  // the fake program's script
    QTest::addColumn<QString>("program");  // which program it replaces
    QTest::addColumn<QString>("expected"); // start of the message; empty: installs
    const QByteArray real = "exec \"" TAMBRIX_PLATFORM_BIN "/powershell\" \"$@\"";
    QTest::newRow("copy script crashes")
        << "case \"$3\" in \"if (Test-Path\"*) kill -9 $$;; esac\n" + real
        << QStringLiteral("powershell") << QStringLiteral("Не удалось скопировать файлы");
    QTest::newRow("copy script crashes after an error message")
        << "case \"$3\" in \"if (Test-Path\"*) echo 'half done' >&2; kill -SEGV $$;; esac\n" + real
        << QStringLiteral("powershell") << QStringLiteral("half done");
    QTest::newRow("unpack crashes")
        << "case \"$3\" in Expand-Archive*) kill -9 $$;; esac\n" + real
        << QStringLiteral("powershell") << QStringLiteral("Не удалось распаковать архив");
    QTest::newRow("powershell missing")
        << QByteArray() << QStringLiteral("powershell") << QStringLiteral("Распаковка прервана");
    QTest::newRow("taskkill missing") << QByteArray() << QStringLiteral("taskkill") << QString();
    QTest::newRow("taskkill fails")
        << QByteArray("echo denied >&2; exit 1") << QStringLiteral("taskkill") << QString();
}

void tst_Faults::helperFaults()
{
    QFETCH(QByteArray, fake);
    QFETCH(QString, program);
    QFETCH(QString, expected);
    const QByteArray package = zipOf(goodEntries(), work->path());
    routes.insert("/updates/desktop.json", ok(manifestFor(package)));
    routes.insert("/files/p.zip", ok(package));

    // A PATH of its own: the fake (or nothing) in place of one program, the
    // stand-ins for the rest.
    const QByteArray savedPath = qgetenv("PATH");
    const QString bin = path(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    for (const QString &name : {QStringLiteral("powershell"), QStringLiteral("taskkill")}) {
        if (name != program)
            QVERIFY(QFile::link(QStringLiteral(TAMBRIX_PLATFORM_BIN "/") + name,
                                bin + QLatin1Char('/') + name));
    }
    QScopedPointer<testenv::FakeProgram> faked;
    if (!fake.isEmpty()) {
        faked.reset(new testenv::FakeProgram(bin, program, fake));
        QVERIFY(faked->ok);
    }
    qputenv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
    const RunResult result = runInstall(path(QStringLiteral("Tambrix")));
    faked.reset();
    qputenv("PATH", savedPath);
    if (expected.isEmpty()) {
        QVERIFY2(result.finished, qPrintable(result.message));
        return;
    }
    QVERIFY(!result.finished);
    QCOMPARE(result.message, expected);
}

QTEST_MAIN(tst_Faults)
#include "tst_faults.moc"
