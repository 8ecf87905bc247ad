// Release retrieval against real loopback transfers: the manifest, the
// streamed download with its progress, and the checksum.
#include "testenv.h"
#include "testserver.h"

#include "installer.h"
#include "publish/signing.h"

#include <QAccessible>
#include <QApplication>
#include <QDialogButtonBox>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSslConfiguration>
#include <QTimer>

#include <csignal>
#include <sys/resource.h>

using testserver::Request;
using testserver::respond;
using testserver::Server;

// Fetches a small manifest from a server of the test's own.
static bool fetchFrom(Server &server, Manifest &manifest, QString &error)
{
    server.setHandler([](QTcpSocket *socket, const Request &) {
        respond(socket, 200, "OK", R"({"version":"1","url":"/p.zip"})");
    });
    testUpdateBaseUrl = server.origin();
    SetupDialog dialog;
    return dialog.fetchManifest(manifest, error);
}

class tst_Retrieval : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void manifestDocuments_data();
    void manifestDocuments();
    void manifestRequest();
    void manifestHttpErrors_data();
    void manifestHttpErrors();
    void signedManifests_data();
    void signedManifests();
    void untrustedCertificateRefused();
    void redirectToHttpRefused();
    void download_data();
    void download();
    void downloadHttpErrorLeavesNoFile();
    void downloadConnectionDropped();
    void downloadTargetFolderMissing();
    void downloadWriteFailure();
    void checksum_data();
    void checksum();
    void baseUrlWithTrailingSlashes();
    void secondDownloadStartsAfresh();
    void publishAgreesWithInstaller_data();
    void publishAgreesWithInstaller();
    void publishWrapperNames_data();
    void publishWrapperNames();
    void publishSigned_data();
    void publishSigned();
    void extraCaAddsToSystemRoots();
    void proxySignIn_data();
    void proxySignIn();

private:
    testserver::Pki pki;
    QScopedPointer<Server> server;
    // Runs tools/publish on an application folder holding only the
    // executable, into <work>/site; -1: it did not finish.
    struct Published
    {
        int exitCode = -1;
        QString standardError;
    };
    Published publish(const QStringList &arguments) const
    {
        Published result;
        if (!testenv::writeFile(work->path() + QLatin1String("/app/TambrixDesktop.exe"), "exe"))
            return result;
        QProcess process;
        process.start(QStringLiteral(TAMBRIX_BINARY_DIR "/tools/publish"),
                      QStringList{QStringLiteral("--app"), work->path() + QLatin1String("/app"),
                                  QStringLiteral("--out"), work->path() + QLatin1String("/site")} +
                          arguments);
        if (!process.waitForFinished(30000))
            return result;
        result.exitCode = process.exitCode();
        result.standardError = QString::fromUtf8(process.readAllStandardError());
        return result;
    }
    QScopedPointer<QTemporaryDir> work;
};

void tst_Retrieval::initTestCase()
{
    pki = testserver::makeTrustedPki(testenv::environment().root.path() + QLatin1String("/pki"));
    QVERIFY2(pki.error.isEmpty(), qPrintable(pki.error));
}

void tst_Retrieval::init()
{
    server.reset(new Server(pki.trustedCertificate, pki.trustedKey));
    QVERIFY(server->isListening());
    testUpdateBaseUrl = server->origin();
    work.reset(new QTemporaryDir(testenv::environment().temp() + QLatin1String("/dl-XXXXXX")));
    QVERIFY(work->isValid());
}

void tst_Retrieval::manifestDocuments_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("error"); // empty: success
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url"); // "BASE" stands for the server's origin
    QTest::addColumn<QString>("sha256");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QString>("notes");

    const QString incomplete = QStringLiteral("Manifest неполный");
    const QString invalid = QStringLiteral("Некорректный manifest");
    const QString badVersion =
        QStringLiteral("Manifest содержит недопустимую версию (символы / и \\ запрещены)");

    QTest::newRow("complete, relative url")
        << QByteArray(R"({"version":"1.4.2","url":"/files/TambrixDesktop-1.4.2.zip",)"
                      R"("sha256":"ABCdef","size":123456,"notes":"Исправления"})")
        << QString() << QStringLiteral("1.4.2")
        << QStringLiteral("BASE/files/TambrixDesktop-1.4.2.zip") << QStringLiteral("ABCdef")
        << qint64(123456) << QStringLiteral("Исправления");
    QTest::newRow("double slash is a path")
        << QByteArray(R"({"version":"2","url":"//cdn.example/p.zip"})") << QString()
        << QStringLiteral("2") << QStringLiteral("BASE//cdn.example/p.zip") << QString()
        << qint64(0) << QString();
    QTest::newRow("absolute url unchanged")
        << QByteArray(R"({"version":"2","url":"https://cdn.example/p.zip","size":"12"})")
        << QString() << QStringLiteral("2") << QStringLiteral("https://cdn.example/p.zip")
        << QString() << qint64(0) << QString();
    QTest::newRow("fractional size truncated")
        << QByteArray(R"({"version":"2","url":"/p.zip","size":1234.99,"extra":[1,2]})") << QString()
        << QStringLiteral("2") << QStringLiteral("BASE/p.zip") << QString() << qint64(1234)
        << QString();
    QTest::newRow("negative fractional size truncated toward zero")
        << QByteArray(R"({"version":"2","url":"/p.zip","size":-1.9})") << QString()
        << QStringLiteral("2") << QStringLiteral("BASE/p.zip") << QString() << qint64(-1)
        << QString();
    // The 1 MiB cap on the manifest, at its edge.
    const QByteArray head = R"({"version":"2","url":"/p.zip","notes":")";
    const QByteArray tail = R"("})";
    const int room = 1048576 - int(head.size() + tail.size());
    QTest::newRow("manifest of exactly 1 MiB")
        << head + QByteArray(room, 'n') + tail << QString() << QStringLiteral("2")
        << QStringLiteral("BASE/p.zip") << QString() << qint64(0)
        << QString(room, QLatin1Char('n'));
    QTest::newRow("manifest one byte over 1 MiB")
        << head + QByteArray(room + 1, 'n') + tail
        << QStringLiteral("Manifest слишком большой (больше 1 МБ)") << QString() << QString()
        << QString() << qint64(0) << QString();
    QTest::newRow("size beyond 64 bits is no size")
        << QByteArray(R"({"version":"2","url":"/p.zip","size":1.05615e65})") << QString()
        << QStringLiteral("2") << QStringLiteral("BASE/p.zip") << QString() << qint64(0)
        << QString();
    QTest::newRow("size of minus 2^64 is no size")
        << QByteArray(R"({"version":"2","url":"/p.zip","size":-18446744073709551616})") << QString()
        << QStringLiteral("2") << QStringLiteral("BASE/p.zip") << QString() << qint64(0)
        << QString();
    QTest::newRow("largest size below 2^63 kept")
        << QByteArray(R"({"version":"2","url":"/p.zip","size":9223372036854774784})") << QString()
        << QStringLiteral("2") << QStringLiteral("BASE/p.zip") << QString()
        << qint64(9223372036854774784LL) << QString();
    QTest::newRow("version kept as is")
        << QByteArray(R"({"version":" v1.0","url":"/p.zip"})") << QString()
        << QStringLiteral(" v1.0") << QStringLiteral("BASE/p.zip") << QString() << qint64(0)
        << QString();
    QTest::newRow("empty object") << QByteArray("{}") << incomplete << QString() << QString()
                                  << QString() << qint64(0) << QString();
    QTest::newRow("number version")
        << QByteArray(R"({"version":1.5,"url":"/p.zip"})") << incomplete << QString() << QString()
        << QString() << qint64(0) << QString();
    QTest::newRow("empty version") << QByteArray(R"({"version":"","url":"/p.zip"})") << incomplete
                                   << QString() << QString() << QString() << qint64(0) << QString();
    QTest::newRow("no url") << QByteArray(R"({"version":"1"})") << incomplete << QString()
                            << QString() << QString() << qint64(0) << QString();
    QTest::newRow("array") << QByteArray(R"([{"version":"1","url":"/p"}])") << invalid << QString()
                           << QString() << QString() << qint64(0) << QString();
    QTest::newRow("not json") << QByteArray("<html>Not here</html>") << invalid << QString()
                              << QString() << QString() << qint64(0) << QString();
    QTest::newRow("empty body") << QByteArray() << invalid << QString() << QString() << QString()
                                << qint64(0) << QString();
    QTest::newRow("version with slash")
        << QByteArray(R"({"version":"../../x","url":"/p.zip"})") << badVersion << QString()
        << QString() << QString() << qint64(0) << QString();
    QTest::newRow("version with backslash")
        << QByteArray(R"({"version":"..\\..\\x","url":"/p.zip"})") << badVersion << QString()
        << QString() << QString() << qint64(0) << QString();
    // The version is a file and a folder name on Windows.
    const QString rejected = QStringLiteral("Manifest содержит недопустимую версию (%1)");
    const struct
    {
        const char *tag;
        const char *version; // JSON string contents
        const char *reason;
    } windowsNames[] = {
        {"NUL character", "1\\u0000", "управляющие символы запрещены"},
        {"line feed", "1\\n2", "управляющие символы запрещены"},
        {"unit separator", "1\\u001f", "управляющие символы запрещены"},
        {"less than", "1<2", "символы < > : \" | ? * запрещены"},
        {"greater than", "1>2", "символы < > : \" | ? * запрещены"},
        {"colon", "1:2", "символы < > : \" | ? * запрещены"},
        {"double quote", "1\\\"2", "символы < > : \" | ? * запрещены"},
        {"pipe", "1|2", "символы < > : \" | ? * запрещены"},
        {"question mark", "1?", "символы < > : \" | ? * запрещены"},
        {"asterisk", "1*", "символы < > : \" | ? * запрещены"},
        {"opening bracket", "1.0[beta", "символы [ и ] запрещены"},
        {"brackets", "[1]", "символы [ и ] запрещены"},
        {"trailing dot", "1.0.", "точка или пробел в конце запрещены"},
        {"trailing blank", " v1.0 ", "точка или пробел в конце запрещены"},
        {"dot dot", "..", "точка или пробел в конце запрещены"},
        {"device", "CON", "имена устройств Windows запрещены"},
        {"device, other case", "nul", "имена устройств Windows запрещены"},
        {"port", "COM1", "имена устройств Windows запрещены"},
        {"printer port", "lpt9", "имена устройств Windows запрещены"},
        {"device with an extension", "AUX.1", "имена устройств Windows запрещены"},
    };
    for (const auto &row : windowsNames)
        QTest::newRow(row.tag) << QByteArray(R"({"version":")") + row.version +
                                      R"(","url":"/p.zip"})"
                               << rejected.arg(QString::fromUtf8(row.reason)) << QString()
                               << QString() << QString() << qint64(0) << QString();
    QTest::newRow("names that only start like devices")
        << QByteArray(R"({"version":"COM10.CONSOLE","url":"/p.zip"})") << QString()
        << QStringLiteral("COM10.CONSOLE") << QStringLiteral("BASE/p.zip") << QString() << qint64(0)
        << QString();
}

void tst_Retrieval::manifestDocuments()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, error);
    server->setHandler([body](QTcpSocket *socket, const Request &) {
        respond(socket, 200, "OK", body, "Content-Type: application/json\r\n");
    });
    SetupDialog dialog;
    Manifest manifest;
    QString message = QStringLiteral("untouched");
    const bool ok = dialog.fetchManifest(manifest, message);
    if (!error.isEmpty()) {
        QVERIFY(!ok);
        QCOMPARE(message, error);
        return;
    }
    QVERIFY2(ok, qPrintable(message));
    QCOMPARE(message, QStringLiteral("untouched"));
    QFETCH(QString, version);
    QFETCH(QString, url);
    QFETCH(QString, sha256);
    QFETCH(qint64, size);
    QFETCH(QString, notes);
    QCOMPARE(manifest.version, version);
    QCOMPARE(manifest.url, QString(url).replace(QStringLiteral("BASE"), server->origin()));
    QCOMPARE(manifest.sha256, sha256);
    QCOMPARE(manifest.size, size);
    QCOMPARE(manifest.notes, notes);
}

void tst_Retrieval::manifestRequest()
{
    server->setHandler([](QTcpSocket *socket, const Request &) {
        respond(socket, 200, "OK", R"({"version":"1","url":"/p.zip"})");
    });
    SetupDialog dialog;
    Manifest manifest;
    QString error;
    QVERIFY2(dialog.fetchManifest(manifest, error), qPrintable(error));
    QCOMPARE(server->requests.size(), 1);
    QCOMPARE(server->requests[0].method, QByteArray("GET"));
    QCOMPARE(server->requests[0].path, QByteArray("/updates/desktop.json"));
    QCOMPARE(server->requests[0].headers.value("user-agent"), QByteArray("TambrixSetup/1.0"));
}

void tst_Retrieval::manifestHttpErrors_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reason");
    QTest::newRow("404") << 404 << QByteArray("Not Found");
    QTest::newRow("500") << 500 << QByteArray("Internal Server Error");
    QTest::newRow("503") << 503 << QByteArray("Service Unavailable");
}

void tst_Retrieval::manifestHttpErrors()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reason);
    server->setHandler([status, reason](QTcpSocket *socket, const Request &) {
        respond(socket, status, reason, "<html>error page</html>");
    });
    SetupDialog dialog;
    Manifest manifest;
    QString error;
    QVERIFY(!dialog.fetchManifest(manifest, error));
    // The network library's own text, passed on unchanged.
    QCOMPARE(error,
             QStringLiteral("Error transferring %1/updates/desktop.json - server replied: %2")
                 .arg(server->origin(), QString::fromLatin1(reason)));
}

// Signs as `openssl dgst -sha256 -sign key.pem` does, with a test key of
// tests/data/signing.
static QByteArray signedBy(int keyNumber, const QByteArray &data)
{
    return signWithPrivateKey(
        testenv::readAll(QStringLiteral(TAMBRIX_SOURCE_DIR "/tests/data/signing/release-key-%1.pem")
                             .arg(keyNumber)),
        data);
}

static QByteArray publicKey(int keyNumber)
{
    return testenv::readAll(
        QStringLiteral(TAMBRIX_SOURCE_DIR "/tests/data/signing/release-key-%1.pub.pem")
            .arg(keyNumber));
}

void tst_Retrieval::signedManifests_data()
{
    QTest::addColumn<QByteArray>("body");      // the manifest served
    QTest::addColumn<QByteArray>("signature"); // "404": none
    QTest::addColumn<QByteArray>("keys");      // compiled in; empty: a build without keys
    QTest::addColumn<QString>("error");        // empty: accepted
    // Judged at 2026-06-01T12:00:00Z.
    const QByteArray good = R"({"version":"1.4.2","url":"/p.zip","sha256":")" +
                            QByteArray(64, 'a') + R"(","size":4,"expires":"2026-07-01T00:00:00Z"})";
    const QByteArray key1 = publicKey(1), both = publicKey(1) + publicKey(2);
    const QString refused = QStringLiteral("подпись manifest не прошла проверку");
    // `expires` is given as JSON: a string in quotes, or another type.
    auto expiringAs = [](const QByteArray &expires) {
        return R"({"version":"1.4.2","url":"/p.zip","sha256":")" + QByteArray(64, 'a') +
               R"(","expires":)" + expires + "}";
    };
    auto expiring = [&](const char *expires) {
        return expiringAs('"' + QByteArray(expires) + '"');
    };

    QTest::newRow("signed") << good << signedBy(1, good) << key1 << QString();
    QTest::newRow("signed by the second key") << good << signedBy(2, good) << both << QString();
    QTest::newRow("signed by the first of two keys")
        << good << signedBy(1, good) << both << QString();
    QTest::newRow("no signature")
        << good << QByteArray("404") << key1
        << QStringLiteral("подпись manifest не получена (Error transferring "
                          "BASE/updates/desktop.json.sig - server replied: Not Found)");
    QTest::newRow("manifest changed after signing")
        << QByteArray(good).replace("1.4.2", "1.4.3") << signedBy(1, good) << key1 << refused;
    QTest::newRow("another package digest")
        << QByteArray(good).replace("aaaa", "bbbb") << signedBy(1, good) << key1 << refused;
    QTest::newRow("signed by a key not compiled in")
        << good << signedBy(2, good) << key1 << refused;
    QTest::newRow("empty signature file") << good << QByteArray() << key1 << refused;
    QTest::newRow("signature file too large") << good << QByteArray(5000, '0') << key1 << refused;
    QTest::newRow("signature of an empty manifest") << good << signedBy(1, "") << key1 << refused;
    const QByteArray noDigest =
        R"({"version":"1.4.2","url":"/p.zip","expires":"2026-07-01T00:00:00Z"})";
    QTest::newRow("signed, without sha256") << noDigest << signedBy(1, noDigest) << key1
                                            << QStringLiteral("в подписанном manifest нет sha256");
    // Good for ever otherwise: a replayed old manifest could bring back a
    // known-bad release at any date.
    const QByteArray noExpiry =
        QByteArray(good).replace(R"(,"expires":"2026-07-01T00:00:00Z")", "");
    QTest::newRow("signed, without expires")
        << noExpiry << signedBy(1, noExpiry) << key1
        << QStringLiteral("в подписанном manifest нет срока действия (expires)");
    for (const char *other : {"1780000000", "null", "true"})
        QTest::newRow(qPrintable(QStringLiteral("expiry as JSON %1").arg(QLatin1String(other))))
            << expiringAs(other) << signedBy(1, expiringAs(other)) << key1
            << QStringLiteral("некорректный срок действия (expires)");
    QTest::newRow("expires later")
        << expiring("2026-06-02T00:00:00Z") << signedBy(1, expiring("2026-06-02T00:00:00Z")) << key1
        << QString();
    QTest::newRow("expired") << expiring("2026-06-01T11:59:59Z")
                             << signedBy(1, expiring("2026-06-01T11:59:59Z")) << key1
                             << QStringLiteral("срок действия manifest истёк 2026-06-01T11:59:59Z");
    QTest::newRow("expires at this very second")
        << expiring("2026-06-01T12:00:00Z") << signedBy(1, expiring("2026-06-01T12:00:00Z")) << key1
        << QStringLiteral("срок действия manifest истёк 2026-06-01T12:00:00Z");
    QTest::newRow("expiry without a time zone")
        << expiring("2027-01-01T00:00:00") << signedBy(1, expiring("2027-01-01T00:00:00")) << key1
        << QStringLiteral("некорректный срок действия (expires)");
    QTest::newRow("expiry that is no date")
        << expiring("soon") << signedBy(1, expiring("soon")) << key1
        << QStringLiteral("некорректный срок действия (expires)");
    // A build without keys behaves as it always has: no signature is asked
    // for, "expires" means nothing, a missing digest is allowed.
    QTest::newRow("no keys: unsigned") << good << QByteArray("404") << QByteArray() << QString();
    QTest::newRow("no keys: expired and without digest")
        << QByteArray(R"({"version":"1","url":"/p.zip","expires":"2000-01-01T00:00:00Z"})")
        << QByteArray("404") << QByteArray() << QString();
}

void tst_Retrieval::signedManifests()
{
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, keys);
    QFETCH(QString, error);
    server->setHandler([body, signature](QTcpSocket *socket, const Request &request) {
        if (request.path == "/updates/desktop.json")
            respond(socket, 200, "OK", body);
        else if (request.path == "/updates/desktop.json.sig" && signature != "404")
            respond(socket, 200, "OK", signature);
        else
            respond(socket, 404, "Not Found", "<html/>");
    });
    testReleaseKeys = keys;
    testNow = QDateTime(QDate(2026, 6, 1), QTime(12, 0), Qt::UTC);
    const auto reset = qScopeGuard([] {
        testReleaseKeys.clear();
        testNow = QDateTime();
    });
    SetupDialog dialog;
    Manifest manifest;
    QString message;
    const bool ok = dialog.fetchManifest(manifest, message);
    QCOMPARE(message, QString(error).replace(QStringLiteral("BASE"), server->origin()));
    QCOMPARE(ok, error.isEmpty());
    // The signature is asked for right after the manifest, by the installer,
    // and only by a build with keys.
    QCOMPARE(server->requests.size(), keys.isEmpty() ? 1 : 2);
    QCOMPARE(server->requests[0].path, QByteArray("/updates/desktop.json"));
    if (!keys.isEmpty()) {
        QCOMPARE(server->requests[1].path, QByteArray("/updates/desktop.json.sig"));
        QCOMPARE(server->requests[1].headers.value("user-agent"), QByteArray("TambrixSetup/1.0"));
    }
    if (ok)
        QCOMPARE(manifest.version, QString::fromLatin1(body).section(QLatin1Char('"'), 3, 3));
}

void tst_Retrieval::untrustedCertificateRefused()
{
    Server selfSigned(pki.untrustedCertificate, pki.untrustedKey);
    Manifest manifest;
    QString error;
    QVERIFY(!fetchFrom(selfSigned, manifest, error));
    QVERIFY2(error.startsWith(QLatin1String("SSL handshake failed")), qPrintable(error));
    QVERIFY(selfSigned.requests.isEmpty());
    QVERIFY(manifest.version.isEmpty());
}

void tst_Retrieval::redirectToHttpRefused()
{
    Server plain;
    plain.setHandler([](QTcpSocket *socket, const Request &) {
        respond(socket, 200, "OK", R"({"version":"1","url":"/p.zip"})");
    });
    const QByteArray location = plain.origin().toLatin1() + "/updates/desktop.json";
    server->setHandler([location](QTcpSocket *socket, const Request &) {
        respond(socket, 302, "Found", {}, "Location: " + location + "\r\n");
    });
    SetupDialog dialog;
    Manifest manifest;
    QString error;
    QVERIFY(!dialog.fetchManifest(manifest, error));
    QVERIFY2(error.contains(QLatin1String("Insecure redirect")), qPrintable(error));
    QVERIFY(plain.requests.isEmpty());
}

void tst_Retrieval::download_data()
{
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<bool>("announceLength");
    QTest::addColumn<qint64>("manifestSize");
    QTest::addColumn<int>("initialBarMaximum");
    QTest::addColumn<QString>("finalDetail");
    // Without a length the library reports the received count as the total
    // once the body is complete, so every transfer ends in the finished case.
    QTest::newRow("length announced")
        << 3000000 << true << qint64(0) << 0 << QStringLiteral("2.86 MB / 2.86 MB · —");
    QTest::newRow("no length, manifest size") << 3000000 << false << qint64(3000000) << 3000000
                                              << QStringLiteral("2.86 MB / 2.86 MB · —");
    QTest::newRow("no length, no size: busy bar")
        << 1048576 << false << qint64(0) << 0 << QStringLiteral("1.00 MB / 1.00 MB · —");
    QTest::newRow("size above bar range") << 65536 << false << qint64(5000000000) << 2147483647
                                          << QStringLiteral("0.06 MB / 0.06 MB · —");
}

void tst_Retrieval::download()
{
    QFETCH(int, bodySize);
    QFETCH(bool, announceLength);
    QFETCH(qint64, manifestSize);
    QFETCH(int, initialBarMaximum);
    QFETCH(QString, finalDetail);
    QByteArray body(bodySize, Qt::Uninitialized);
    for (int i = 0; i < bodySize; ++i)
        body[i] = char(QRandomGenerator::global()->bounded(256));
    SetupDialog dialog;
    int barMaximumAtRequest = -1;
    server->setHandler([&, body, announceLength](QTcpSocket *socket, const Request &) {
        barMaximumAtRequest = dialog.updBar->maximum();
        respond(socket, 200, "OK", body, {}, announceLength);
    });

    const QString target = work->path() + QLatin1String("/TambrixDesktop-1.0.zip");
    QVERIFY(testenv::writeFile(target, QByteArray(10000000, 'x'))); // truncated at the start
    dialog.bytesPerSecond = 123;                                    // reset before the transfer
    Manifest manifest;
    manifest.url = server->origin() + QLatin1String("/files/p.zip");
    manifest.size = manifestSize;
    QString error;
    QVERIFY2(dialog.downloadToFile(manifest, target, error), qPrintable(error));
    QVERIFY(error.isEmpty());
    QCOMPARE(testenv::readAll(target), body);
    QCOMPARE(dialog.expectedSize, manifestSize);
    QCOMPARE(server->requests.size(), 1);
    QCOMPARE(server->requests[0].path, QByteArray("/files/p.zip"));
    QCOMPARE(server->requests[0].headers.value("user-agent"), QByteArray("TambrixSetup/1.0"));
    QCOMPARE(barMaximumAtRequest, initialBarMaximum);
    QCOMPARE(dialog.updBar->maximum(), bodySize);
    QCOMPARE(dialog.updDetail->text(), finalDetail);
}

void tst_Retrieval::downloadHttpErrorLeavesNoFile()
{
    server->setHandler([](QTcpSocket *socket, const Request &) {
        respond(socket, 404, "Not Found", "<html>gone</html>");
    });
    const QString target = work->path() + QLatin1String("/p.zip");
    QVERIFY(testenv::writeFile(target, "an older package"));
    SetupDialog dialog;
    Manifest manifest;
    manifest.url = server->origin() + QLatin1String("/p.zip");
    QString error;
    QVERIFY(!dialog.downloadToFile(manifest, target, error));
    QCOMPARE(error, QStringLiteral("Error transferring %1/p.zip - server replied: Not Found")
                        .arg(server->origin()));
    QVERIFY(!QFile::exists(target));
}

void tst_Retrieval::downloadConnectionDropped()
{
    server->setHandler([](QTcpSocket *socket, const Request &) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n");
        socket->write(QByteArray(200000, 'z'));
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
            if (socket->bytesToWrite() == 0)
                socket->disconnectFromHost();
        });
    });
    const QString target = work->path() + QLatin1String("/p.zip");
    SetupDialog dialog;
    Manifest manifest;
    manifest.url = server->origin() + QLatin1String("/p.zip");
    manifest.size = 1000000;
    QString error;
    QVERIFY(!dialog.downloadToFile(manifest, target, error));
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(target));
}

void tst_Retrieval::downloadTargetFolderMissing()
{
    SetupDialog dialog;
    dialog.expectedSize = 77;
    Manifest manifest;
    manifest.url = server->origin() + QLatin1String("/p.zip");
    manifest.size = 1000;
    QString error;
    QVERIFY(
        !dialog.downloadToFile(manifest, work->path() + QLatin1String("/missing/p.zip"), error));
    QCOMPARE(error, QStringLiteral("Не удалось создать файл загрузки"));
    QCOMPARE(dialog.expectedSize, qint64(77)); // window state untouched
    QCOMPARE(dialog.updBar->maximum(), 100);
    QTest::qWait(50);
    QVERIFY(server->requests.isEmpty());
}

void tst_Retrieval::downloadWriteFailure()
{
    // A full disk, made with a file-size limit on this process: writes past
    // 1 MiB fail with EFBIG instead of raising SIGXFSZ.
    const QByteArray body(4 * 1024 * 1024, 'p');
    server->setHandler(
        [body](QTcpSocket *socket, const Request &) { respond(socket, 200, "OK", body); });
    const QString target = work->path() + QLatin1String("/p.zip");
    SetupDialog dialog;
    Manifest manifest;
    manifest.url = server->origin() + QLatin1String("/p.zip");
    QString error;

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = 1024 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool ok = dialog.downloadToFile(manifest, target, error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!ok);
    QVERIFY2(error.startsWith(QStringLiteral("Не удалось записать файл загрузки (")),
             qPrintable(error));
    QVERIFY2(error.endsWith(QStringLiteral("(File too large)")), qPrintable(error));
    QVERIFY(!QFile::exists(target));
}

void tst_Retrieval::checksum_data()
{
    QTest::addColumn<QByteArray>("content"); // "<missing>": no file, "<folder>": a folder
    QTest::addColumn<QString>("expected");
    QTest::addColumn<bool>("match");
    const QByteArray content = "Tambrix package bytes";
    const QString digest = QString::fromLatin1(testenv::sha256Hex(content));
    QTest::newRow("empty expected, missing file") << QByteArray("<missing>") << QString() << true;
    QTest::newRow("lower case") << content << digest << true;
    QTest::newRow("upper case") << content << digest.toUpper() << true;
    QTest::newRow("trailing newline") << content << digest + QLatin1Char('\n') << false;
    QTest::newRow("leading space") << content << QLatin1Char(' ') + digest << false;
    QTest::newRow("63 characters") << content << digest.left(63) << false;
    QTest::newRow("65 characters") << content << digest + QLatin1Char('0') << false;
    QTest::newRow("prefixed") << content << QStringLiteral("sha256:") + digest << false;
    QTest::newRow("other content") << QByteArray("Tambrix package byteS") << digest << false;
    QTest::newRow("missing file") << QByteArray("<missing>") << digest << false;
    QTest::newRow("unreadable: a folder") << QByteArray("<folder>") << digest << false;
    QTest::newRow("empty file")
        << QByteArray()
        << QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855")
        << true;
    QByteArray large(3 * 1048576 + 17, Qt::Uninitialized);
    for (int i = 0; i < large.size(); ++i)
        large[i] = char(i * 7 + (i >> 11));
    QTest::newRow("several chunks")
        << large << QString::fromLatin1(testenv::sha256Hex(large)) << true;
}

void tst_Retrieval::checksum()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QFETCH(bool, match);
    const QString path = work->path() + QLatin1String("/package.zip");
    if (content == "<folder>")
        QVERIFY(QDir().mkpath(path));
    else if (content != "<missing>")
        QVERIFY(testenv::writeFile(path, content));
    QCOMPARE(verifySha256(path, expected), match);
}

// A relative package path is joined to the origin with exactly one slash,
// however many the origin ends with.
void tst_Retrieval::baseUrlWithTrailingSlashes()
{
    testUpdateBaseUrl = QStringLiteral("https://updates.example///");
    Manifest manifest;
    QString error;
    QVERIFY2(parseManifest(R"({"version":"2","url":"/files/p.zip"})", manifest, error),
             qPrintable(error));
    QCOMPARE(manifest.url, QStringLiteral("https://updates.example/files/p.zip"));
}

// A second download in the same window (a retry) starts its speed estimate
// afresh: its first report shows no speed, whatever the first download left.
void tst_Retrieval::secondDownloadStartsAfresh()
{
    // Every sample 1 s apart, so that any state kept from the first download
    // would already yield a speed at the second one's first report.
    testSpeedElapsedMs = 1000;
    QStringList shown;
    testProgressShown = [&](const QString &text) {
        shown << text;
    };
    const auto restore = qScopeGuard([] {
        testSpeedElapsedMs = -1;
        testProgressShown = nullptr;
    });
    const QByteArray body(3000000, 'z');
    // A first part, then the rest a moment later: at least two reports.
    server->setHandler([&](QTcpSocket *socket, const Request &) {
        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 3000000\r\nConnection: close\r\n\r\n" +
                      body.left(1000000));
        QTimer::singleShot(300, socket, [&, socket] {
            socket->write(body.mid(1000000));
            socket->disconnectFromHost();
        });
    });
    SetupDialog dialog;
    Manifest manifest;
    manifest.url = server->origin() + QLatin1String("/p.zip");
    manifest.size = body.size();
    QString error;
    const QString file = work->path() + QLatin1String("/p.zip");
    for (const char *run : {"first", "second"}) {
        shown.clear();
        QVERIFY2(dialog.downloadToFile(manifest, file, error), qPrintable(error));
        QVERIFY2(shown.size() >= 2, qPrintable(shown.join(QLatin1String(" | "))));
        QVERIFY2(shown.first().endsWith(QStringLiteral(" / 2.86 MB · —")),
                 qPrintable(QLatin1String(run) + QLatin1String(": ") + shown.first()));
        QCOMPARE(shown.last(), QStringLiteral("2.86 MB / 2.86 MB · —"));
    }
}

void tst_Retrieval::publishAgreesWithInstaller_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("refusal"); // publish's message; empty: published
    QTest::newRow("plain") << QStringLiteral("1.4.2") << QString();
    QTest::newRow("leading blank, Cyrillic") << QStringLiteral(" 2.0-бета") << QString();
    QTest::newRow("starts like a device") << QStringLiteral("CONSOLE") << QString();
    QTest::newRow("slash") << QStringLiteral("1/2") << QStringLiteral("must not contain / or \\");
    QTest::newRow("tab") << QStringLiteral("1\t2")
                         << QStringLiteral("must not contain control characters");
    QTest::newRow("colon") << QStringLiteral("1:2")
                           << QStringLiteral("must not contain < > : \" | ? *");
    QTest::newRow("brackets") << QStringLiteral("[1]") << QStringLiteral("must not contain [ or ]");
    QTest::newRow("trailing dot") << QStringLiteral("1.")
                                  << QStringLiteral("must not end in a dot or a blank");
    QTest::newRow("device") << QStringLiteral("lpt1.zip")
                            << QStringLiteral(
                                   "must not be a Windows device name (CON, NUL, COM1, …)");
}

// The release side refuses exactly the versions the installer refuses, so a
// release that would fail on every user's machine is never published.
void tst_Retrieval::publishAgreesWithInstaller()
{
    QFETCH(QString, version);
    QFETCH(QString, refusal);
    const Published published = publish({QStringLiteral("--version"), version});
    const QString &output = published.standardError;
    QCOMPARE(versionProblem(version).isEmpty(), refusal.isEmpty());
    if (refusal.isEmpty()) {
        QVERIFY2(published.exitCode == 0, qPrintable(output));
        QVERIFY(QFile::exists(work->path() + QLatin1String("/site/files/TambrixDesktop-") +
                              version + QLatin1String(".zip")));
        return;
    }
    QCOMPARE(published.exitCode, 2);
    QVERIFY2(output.contains(QStringLiteral("the version ") + refusal), qPrintable(output));
    QVERIFY(!QFile::exists(work->path() + QLatin1String("/site")));
}

void tst_Retrieval::publishWrapperNames_data()
{
    QTest::addColumn<QString>("wrap");
    QTest::addColumn<QString>("refusal"); // publish's message; empty: published
    QTest::newRow("blanks, parentheses, Cyrillic")
        << QStringLiteral("Tambrix (x64) Версия 1.4") << QString();
    QTest::newRow("brackets") << QStringLiteral("Tambrix [x64]")
                              << QStringLiteral("must not contain [ or ]");
    QTest::newRow("star") << QStringLiteral("Tambrix*")
                          << QStringLiteral("must not contain < > : \" | ? *");
    QTest::newRow("question mark")
        << QStringLiteral("why?") << QStringLiteral("must not contain < > : \" | ? *");
    QTest::newRow("two levels") << QStringLiteral("a/b")
                                << QStringLiteral("must not contain / or \\");
    QTest::newRow("trailing dot") << QStringLiteral("Tambrix.")
                                  << QStringLiteral("must not end in a dot or a blank");
    QTest::newRow("device") << QStringLiteral("NUL")
                            << QStringLiteral(
                                   "must not be a Windows device name (CON, NUL, COM1, …)");
}

// A wrapper folder is a name on users' machines too: publish refuses what
// Windows or PowerShell would read otherwise.
void tst_Retrieval::publishWrapperNames()
{
    QFETCH(QString, wrap);
    QFETCH(QString, refusal);
    const Published published = publish(
        {QStringLiteral("--version"), QStringLiteral("1.4.2"), QStringLiteral("--wrap"), wrap});
    const QString &output = published.standardError;
    const QString zip = work->path() + QLatin1String("/site/files/TambrixDesktop-1.4.2.zip");
    if (refusal.isEmpty()) {
        QVERIFY2(published.exitCode == 0, qPrintable(output));
        QVERIFY(QFile::exists(zip));
        return;
    }
    QCOMPARE(published.exitCode, 2);
    QVERIFY2(output.contains(QStringLiteral("the wrapper folder ") + refusal), qPrintable(output));
    QVERIFY(!QFile::exists(zip));
}

// A signed release carries its expiry, and --verify fails on whatever the
// installer with that key would refuse.
void tst_Retrieval::publishSigned_data()
{
    QTest::addColumn<QStringList>("options"); // besides --version and --sign-key
    QTest::addColumn<QString>("tamper");      // what changes in the site after publishing
    QTest::addColumn<QString>("refusal");     // publish's or --verify's message; empty: verified
    const QStringList oneDay{QStringLiteral("--expires"), QStringLiteral("1")};
    QTest::newRow("expires in a day") << oneDay << QString() << QString();
    QTest::newRow("no --expires")
        << QStringList() << QString()
        << QStringLiteral("--sign-key needs --expires DAYS: the installer refuses a signed "
                          "manifest without an expiry");
    QTest::newRow("--expires 0") << QStringList{QStringLiteral("--expires"), QStringLiteral("0")}
                                 << QString()
                                 << QStringLiteral("--expires takes a number of days, with "
                                                   "--sign-key");
    QTest::newRow("manifest changed after signing")
        << oneDay << QStringLiteral("changed")
        << QStringLiteral("the manifest's signature does not verify with KEY");
    QTest::newRow("signed by another key")
        << oneDay << QStringLiteral("other key")
        << QStringLiteral("the manifest's signature does not verify with KEY");
    QTest::newRow("package changed")
        << oneDay << QStringLiteral("package")
        << QStringLiteral("the package /files/TambrixDesktop-1.4.2.zip does not match the "
                          "manifest");
    QTest::newRow("expired, signed again")
        << oneDay << QStringLiteral("expires=\"2000-01-01T00:00:00Z\"")
        << QStringLiteral("the manifest has expired or its expiry is unreadable "
                          "(2000-01-01T00:00:00Z)");
    QTest::newRow("expiry as a number, signed again")
        << oneDay << QStringLiteral("expires=1780000000")
        << QStringLiteral("the manifest has expired or its expiry is unreadable (not a string)");
    QTest::newRow("no expiry, signed again")
        << oneDay << QStringLiteral("expires=")
        << QStringLiteral("the signed manifest has no expiry (expires): the installer refuses it");
}

void tst_Retrieval::publishSigned()
{
    QFETCH(QStringList, options);
    QFETCH(QString, tamper);
    QFETCH(QString, refusal);
    const QString key = QStringLiteral(TAMBRIX_SOURCE_DIR "/tests/data/signing/release-key-2.pem");
    const QString publicKey =
        QString(key).replace(QLatin1String(".pem"), QLatin1String(".pub.pem"));
    const QString site = work->path() + QLatin1String("/site");
    const QString manifestFile = site + QLatin1String("/updates/desktop.json");
    const QDateTime before = QDateTime::currentDateTimeUtc();
    const Published published =
        publish(QStringList{QStringLiteral("--version"), QStringLiteral("1.4.2"),
                            QStringLiteral("--sign-key"), key} +
                options);
    if (published.exitCode == 2) {
        QCOMPARE(published.standardError, QStringLiteral("publish: ") + refusal + '\n');
        QVERIFY(!QFile::exists(site));
        return;
    }
    QVERIFY2(published.exitCode == 0, qPrintable(published.standardError));
    const QByteArray body = testenv::readAll(manifestFile);
    // Now plus the days given, to the second.
    const QDateTime expires = QDateTime::fromString(
        QJsonDocument::fromJson(body).object().value(QLatin1String("expires")).toString(),
        Qt::ISODate);
    QVERIFY2(expires >= before.addDays(1).addSecs(-1) &&
                 expires <= QDateTime::currentDateTimeUtc().addDays(1),
             body.constData());

    const QString sig = manifestFile + QLatin1String(".sig");
    if (tamper == QLatin1String("changed"))
        QVERIFY(testenv::writeFile(manifestFile, QByteArray(body).replace("1.4.2", "1.4.3")));
    if (tamper == QLatin1String("other key"))
        QVERIFY(testenv::writeFile(sig, signedBy(1, body)));
    if (tamper == QLatin1String("package")) {
        // One byte other, the size the same: only the digest can tell.
        const QString zip = site + QLatin1String("/files/TambrixDesktop-1.4.2.zip");
        QByteArray bytes = testenv::readAll(zip);
        bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x01);
        QVERIFY(testenv::writeFile(zip, bytes));
    }
    if (tamper.startsWith(QLatin1String("expires="))) {
        QJsonObject object = QJsonDocument::fromJson(body).object();
        const QByteArray value = tamper.mid(8).toUtf8();
        if (value.isEmpty())
            object.remove(QLatin1String("expires"));
        else
            object.insert(QLatin1String("expires"),
                          QJsonDocument::fromJson("[" + value + "]").array().first());
        const QByteArray resigned = QJsonDocument(object).toJson();
        QVERIFY(testenv::writeFile(manifestFile, resigned));
        QVERIFY(testenv::writeFile(sig, signedBy(2, resigned)));
    }
    QProcess verify;
    verify.start(QStringLiteral(TAMBRIX_BINARY_DIR "/tools/publish"),
                 {QStringLiteral("--verify"), QStringLiteral("--out"), site,
                  QStringLiteral("--key"), publicKey});
    QVERIFY(verify.waitForFinished(30000));
    const QString output = QString::fromUtf8(verify.readAllStandardOutput());
    const QString errors = QString::fromUtf8(verify.readAllStandardError());
    if (refusal.isEmpty()) {
        QVERIFY2(verify.exitCode() == 0, qPrintable(errors));
        QVERIFY2(output.startsWith(QStringLiteral("verified %1: signature, expires ").arg(site)),
                 qPrintable(output));
        return;
    }
    QCOMPARE(verify.exitCode(), 1);
    QCOMPARE(errors, QStringLiteral("publish: ") +
                         QString(refusal).replace(QStringLiteral("KEY"), publicKey) + '\n');
    QVERIFY(output.isEmpty());
}

// The compiled-in CA is trusted beside the system's roots, never instead of
// them: a package on a CDN with a public certificate must still download.
void tst_Retrieval::extraCaAddsToSystemRoots()
{
    const QList<QSslCertificate> extra =
        QSslCertificate::fromData(QByteArrayLiteral(TAMBRIX_EXTRA_CA_PEM), QSsl::Pem);
    if (extra.isEmpty())
        QSKIP("this build compiles in no extra CA");
    const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    QVERIFY2(system.size() > 10, "the machine has no CA store to compare with");

    // The local update server's own certificate, signed by the compiled-in CA.
    const QString pki = QStringLiteral(TAMBRIX_EXTRA_CA_DIR);
    const QSslCertificate certificate(testenv::readAll(pki + QLatin1String("/server.pem")));
    const QSslKey key(testenv::readAll(pki + QLatin1String("/server.key")), QSsl::Rsa);
    QVERIFY(!certificate.isNull() && !key.isNull());
    Server signedByExtra(certificate, key);
    Manifest manifest;
    QString error;
    QVERIFY2(fetchFrom(signedByExtra, manifest, error), qPrintable(error));

    const QList<QSslCertificate> trusted =
        QSslConfiguration::defaultConfiguration().caCertificates();
    for (const QSslCertificate &root : system)
        QVERIFY2(trusted.contains(root), qPrintable(root.subjectDisplayName()));
    QVERIFY(trusted.contains(extra.first()));
    QVERIFY(trusted.contains(this->pki.caCertificate)); // what was trusted before stays
}

// What one proxy sign-in dialog showed.
struct ProxyDialogSeen
{
    QString title, message, user, userName, passwordName, passwordValue, okText, cancelText;
    QString focus; // "user", "password" or "elsewhere"
    bool masked = false, okWithoutName = true;
};

// Answers the proxy sign-in dialogs as they come, one answer each:
// "user:password" typed into the fields and Enter, or empty for Escape.
class ProxyDialogs
{
public:
    explicit ProxyDialogs(const QStringList &answers) : answers(answers)
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start(20);
    }
    QList<ProxyDialogSeen> seen;

private:
    void answer()
    {
        auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget());
        if (!dialog || dialog->objectName() != QLatin1String("proxyDialog") ||
            handled.contains(dialog))
            return;
        handled << dialog;
        auto *login = static_cast<ProxyLoginDialog *>(dialog);
        ProxyDialogSeen shown;
        shown.title = login->windowTitle();
        shown.message = login->message->text();
        shown.user = login->userEdit->text();
        shown.focus = login->focusWidget() == login->userEdit       ? QStringLiteral("user")
                      : login->focusWidget() == login->passwordEdit ? QStringLiteral("password")
                                                                    : QStringLiteral("elsewhere");
        shown.masked = login->passwordEdit->echoMode() == QLineEdit::Password;
        shown.okText = login->buttons->button(QDialogButtonBox::Ok)->text();
        shown.cancelText = login->buttons->button(QDialogButtonBox::Cancel)->text();
        const QString typed = answers.value(seen.size());
        login->userEdit->clear();
        shown.okWithoutName = login->buttons->button(QDialogButtonBox::Ok)->isEnabled();
        login->userEdit->setText(typed.section(QLatin1Char(':'), 0, 0));
        login->passwordEdit->setText(typed.section(QLatin1Char(':'), 1));
        shown.userName =
            QAccessible::queryAccessibleInterface(login->userEdit)->text(QAccessible::Name);
        QAccessibleInterface *password = QAccessible::queryAccessibleInterface(login->passwordEdit);
        shown.passwordName = password->text(QAccessible::Name);
        shown.passwordValue = password->text(QAccessible::Value);
        seen << shown;
        QTest::keyClick(login->passwordEdit, typed.isEmpty() ? Qt::Key_Escape : Qt::Key_Return);
    }

    QStringList answers;
    QList<QDialog *> handled;
    QTimer timer;
};

// A proxy of the test's own that asks for Basic sign-in, closing the
// connection after each answer as some proxies do. The user is asked between
// transfers, once per run unless the proxy refuses; the answer reaches the
// proxy as the header Basic defines; after a refusal the name is kept and the
// focus is on the password; «Отмена» fails with the installer's own words.
void tst_Retrieval::proxySignIn_data()
{
    QTest::addColumn<QString>("given");        // earlier in this run: "user:password"
    QTest::addColumn<QStringList>("answers");  // to the dialogs in turn; empty: Escape
    QTest::addColumn<QStringList>("messages"); // the dialogs' questions
    QTest::addColumn<QStringList>("sent");     // the Proxy-Authorization answers, in turn
    QTest::addColumn<QString>("error");        // empty: the proxy let it through
    const QString asks = QStringLiteral("Прокси-сервер 127.0.0.1:PORT запрашивает имя "
                                        "пользователя и пароль для выхода в интернет.");
    const QString refused = QStringLiteral("Прокси-сервер 127.0.0.1:PORT не принял имя "
                                           "пользователя и пароль. Проверьте их и введите "
                                           "ещё раз.");
    // Basic carries the pair in Latin-1 (the library's choice when the proxy
    // names no charset).
    const QString basic = QStringLiteral("Basic ");
    const QString right =
        basic + QString::fromLatin1(QStringLiteral("anna:s3 cr«et»").toLatin1().toBase64());
    QTest::newRow("asked, then through")
        << QString() << QStringList{QStringLiteral("anna:s3 cr«et»")} << QStringList{asks}
        << QStringList{right} << QString();
    QTest::newRow("a later transfer of the run: not asked again")
        << QStringLiteral("anna:s3 cr«et»") << QStringList() << QStringList() << QStringList{right}
        << QString();
    QTest::newRow("refused: asked again, the name kept")
        << QString() << QStringList{QStringLiteral("anna:wrong"), QStringLiteral("anna:s3 cr«et»")}
        << QStringList{asks, refused}
        << QStringList{basic + QString::fromLatin1(QByteArray("anna:wrong").toBase64()), right}
        << QString();
    QTest::newRow("Отмена")
        << QString() << QStringList{QString()} << QStringList{asks} << QStringList()
        << QStringLiteral("прокси-сервер требует имя пользователя и пароль. Нажмите «Повторить» "
                          "и введите их: их сообщит администратор вашей сети.");
}

void tst_Retrieval::proxySignIn()
{
    QFETCH(QString, given);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, sent);
    QFETCH(QString, error);
    Server proxy; // plain HTTP, as a company proxy listens
    const QByteArray accepted = "Basic " + QStringLiteral("anna:s3 cr«et»").toLatin1().toBase64();
    QStringList sentHeaders;
    proxy.setHandler([&](QTcpSocket *socket, const Request &request) {
        const QByteArray header = request.headers.value("proxy-authorization");
        sentHeaders << QString::fromLatin1(header);
        if (header == accepted)
            respond(socket, 200, "OK", R"({"version":"7","url":"/p.zip"})");
        else
            respond(socket, 407, "Proxy Authentication Required", "sign in",
                    "Proxy-Authenticate: Basic realm=\"corp\"\r\n");
    });
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.serverPort()));
    const auto direct = qScopeGuard([] { QNetworkProxy::setApplicationProxy(QNetworkProxy()); });
    const QString name = QStringLiteral("127.0.0.1:%1").arg(proxy.serverPort());
    proxySignIns().clear();
    const auto forget = qScopeGuard([] { proxySignIns().clear(); });
    if (!given.isEmpty())
        proxySignIns().insert(
            name, {given.section(QLatin1Char(':'), 0, 0), given.section(QLatin1Char(':'), 1)});
    // Plain HTTP through the proxy: what a proxy sees of HTTPS is the CONNECT
    // alone, with the same question and answer.
    testUpdateBaseUrl = QStringLiteral("http://updates.corp.example");

    SetupDialog window;
    ProxyDialogs dialogs(answers);
    Manifest manifest;
    QString fetchError;
    const bool fetched = window.fetchManifest(manifest, fetchError);
    // The first request carries nothing; the library may send it twice
    // before the transfer is ended to ask.
    QVERIFY(!sentHeaders.isEmpty() && sentHeaders.constFirst().isEmpty());
    sentHeaders.removeAll(QString());
    QCOMPARE(sentHeaders, sent);
    QCOMPARE(fetchError, error);
    QCOMPARE(fetched, error.isEmpty());
    QCOMPARE(dialogs.seen.size(), messages.size());
    for (qsizetype i = 0; i < dialogs.seen.size(); ++i) {
        const ProxyDialogSeen &shown = dialogs.seen.at(i);
        const bool again = i > 0;
        QCOMPARE(shown.title, QStringLiteral("Tambrix"));
        QCOMPARE(shown.message,
                 QString(messages.at(i))
                     .replace(QStringLiteral("PORT"), QString::number(proxy.serverPort())));
        QCOMPARE(shown.user, again ? QStringLiteral("anna") : QString());
        QCOMPARE(shown.focus, again ? QStringLiteral("password") : QStringLiteral("user"));
        QVERIFY(shown.masked);
        QVERIFY(!shown.okWithoutName);
        QCOMPARE(shown.okText, QStringLiteral("OK"));
        QCOMPARE(shown.cancelText, QStringLiteral("Отмена"));
        QCOMPARE(shown.userName, QStringLiteral("Имя пользователя:"));
        QCOMPARE(shown.passwordName, QStringLiteral("Пароль:"));
        const QString password = answers.at(i).section(QLatin1Char(':'), 1);
        QVERIFY(password.isEmpty() || !shown.passwordValue.contains(password));
    }
    // Kept for the rest of the run when it went through, and nothing after «Отмена».
    QCOMPARE(proxySignIns().contains(name), error.isEmpty());
}

QTEST_MAIN(tst_Retrieval)
#include "tst_retrieval.moc"
