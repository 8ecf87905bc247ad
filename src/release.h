// Release retrieval: the release manifest, the streamed package download and
// the package checksum.
#pragma once

#include "buildconfig.h"
#include "nofollow.h"
#include "proxyauth.h"
#include "signature.h"
#include "window.h"
#include "winpaths.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

namespace {

struct Manifest
{
    QString version;
    QString url;
    QString sha256;
    qint64 size = 0;
    QString notes;
};

const char *const manifestPath = "/updates/desktop.json";
const char *const userAgent = "TambrixSetup/1.0";
constexpr int manifestTimeoutMs = 15000;
// A real manifest is a few hundred bytes.
constexpr qint64 manifestMaxBytes = 1048576;
constexpr int downloadTimeoutMs = 600000;
// Qt buffers an unread reply without limit; a bounded buffer keeps memory flat
// however large the package is, while staying large enough to keep up with a
// fast link.
constexpr qint64 downloadReadBufferSize = 4 * 1024 * 1024;
constexpr qint64 hashChunkSize = 1048576;

// The signature of the manifest's exact bytes is served next to it.
const char *const signatureSuffix = ".sig";
// A DER signature of P-256 is at most 72 bytes.
constexpr qint64 signatureMaxBytes = 4096;

#ifdef TAMBRIX_TEST_SEAMS
// Lets the unit tests aim the installer at their own loopback server, and
// give it release keys; the production build has no such variables.
QString testUpdateBaseUrl;
QByteArray testReleaseKeys;
#endif

// The public keys (PEM) a manifest's signature must verify with; empty for a
// build without keys, which checks no signature.
QByteArray releaseKeys()
{
#ifdef TAMBRIX_TEST_SEAMS
    if (!testReleaseKeys.isEmpty())
        return testReleaseKeys;
#endif
    return QByteArrayLiteral(TAMBRIX_RELEASE_KEYS_PEM).trimmed();
}

QString updateBaseUrl()
{
#ifdef TAMBRIX_TEST_SEAMS
    if (!testUpdateBaseUrl.isEmpty())
        return testUpdateBaseUrl;
#endif
    return QStringLiteral(TAMBRIX_UPDATE_BASE_URL);
}

// A self-hosted update server may use its own CA; it is compiled in rather
// than read from disk so that nothing at run time can widen the trust. Done
// before the first request rather than at start-up: touching the TLS
// configuration loads the TLS backend and the system's CA store, which would
// delay the window's first paint.
void installExtraCaCertificate()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    const QByteArray pem = QByteArrayLiteral(TAMBRIX_EXTRA_CA_PEM).trimmed();
    if (pem.isEmpty())
        return;
    // Adding to the default configuration alone would end the on-demand
    // loading of the system's roots, leaving this one CA as the only one
    // trusted: a package on a CDN with a public certificate would then fail.
    // So the system's roots are taken in explicitly, beside anything set
    // before.
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    QList<QSslCertificate> authorities = QSslConfiguration::systemCaCertificates();
    for (const QSslCertificate &certificate :
         config.caCertificates() + QSslCertificate::fromData(pem, QSsl::Pem)) {
        if (!authorities.contains(certificate))
            authorities << certificate;
    }
    config.setCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(config);
}

// The version becomes part of a file name and of a folder that is later
// removed recursively, so it must stay one plain Windows file-name component.
// Empty when it does; otherwise what the manifest error says is wrong.
QString versionProblem(const QString &version)
{
    switch (fileNameComponentFault(version, true)) {
    case NameFault::None:
        return QString();
    case NameFault::Separator:
        return QStringLiteral("символы / и \\ запрещены");
    case NameFault::Control:
        return QStringLiteral("управляющие символы запрещены");
    case NameFault::ForbiddenCharacter:
        return QStringLiteral("символы < > : \" | ? * запрещены");
    case NameFault::Bracket:
        return QStringLiteral("символы [ и ] запрещены");
    case NameFault::TrailingDotOrBlank:
        return QStringLiteral("точка или пробел в конце запрещены");
    case NameFault::DeviceName:
        return QStringLiteral("имена устройств Windows запрещены");
    }
    return QString();
}

// JSON numbers are doubles; converting one outside the 64-bit range is
// undefined behaviour, and such a size means nothing anyway, so it reads as
// "no size" (0), which the download already copes with.
qint64 sizeFromJson(double value)
{
    // 2^63 is exactly representable; every double below it (and at or above
    // -2^63) converts, while NaN fails both comparisons.
    constexpr double limit = 9223372036854775808.0;
    if (!(value >= -limit && value < limit))
        return 0;
    return qint64(value);
}

bool parseManifest(const QByteArray &body, Manifest &manifest, QString &error)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) {
        error = QStringLiteral("Некорректный manifest");
        return false;
    }
    const QJsonObject object = document.object();
    manifest.version = object.value(QLatin1String("version")).toString();
    manifest.url = object.value(QLatin1String("url")).toString();
    manifest.sha256 = object.value(QLatin1String("sha256")).toString();
    manifest.size = sizeFromJson(object.value(QLatin1String("size")).toDouble());
    manifest.notes = object.value(QLatin1String("notes")).toString();
    if (manifest.version.isEmpty() || manifest.url.isEmpty()) {
        error = QStringLiteral("Manifest неполный");
        return false;
    }
    const QString problem = versionProblem(manifest.version);
    if (!problem.isEmpty()) {
        error = QStringLiteral("Manifest содержит недопустимую версию (%1)").arg(problem);
        return false;
    }
    if (manifest.url.startsWith(QLatin1Char('/'))) {
        QString base = updateBaseUrl();
        while (base.endsWith(QLatin1Char('/')))
            base.chop(1);
        manifest.url = base + manifest.url;
    }
    return true;
}

// The reply's own error text, but for a proxy whose question went
// unanswered (the user's «Отмена»): the library's "Proxy requires
// authentication" tells the user neither why nor what to do.
QString replyError(const QNetworkReply &reply)
{
    if (reply.error() == QNetworkReply::ProxyAuthenticationRequiredError)
        return QString::fromUtf8(proxyDeclinedText);
    return reply.errorString();
}

// Fetches a small document whole (the manifest, its signature) in a nested
// event loop, with the installer's User-Agent and the manifest's time limit.
// The whole body is held in memory, so a server that sends without end (or a
// wrong URL pointing at a large file) is cut off at `maxBytes`; then
// `tooLarge` is set and the call fails. A proxy's question for a user name
// and password is put to the user over `window`, and the fetch made again.
bool fetchSmallDocument(QWidget *window, const QString &url, qint64 maxBytes, QByteArray &body,
                        bool &tooLarge, QString &error)
{
    installExtraCaCertificate();
    QNetworkAccessManager manager;
    ProxyQuestion question;
    answerProxyFromMemory(manager, question);
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(userAgent));
    request.setTransferTimeout(manifestTimeoutMs);

    QEventLoop loop;
    QNetworkReply *reply = manager.get(request);
    tooLarge = false;
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop,
                     [&](qint64 received, qint64 total) {
                         if (!tooLarge && (received > maxBytes || total > maxBytes)) {
                             tooLarge = true;
                             reply->abort();
                         }
                     });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();

    const bool ok = !tooLarge && reply->error() == QNetworkReply::NoError;
    if (ok)
        body = reply->readAll();
    else if (!tooLarge && !question.asked)
        error = replyError(*reply);
    reply->deleteLater();
    if (ok || !question.asked)
        return ok;
    return askProxySignIn(window, question, error) &&
           fetchSmallDocument(window, url, maxBytes, body, tooLarge, error);
}

// A signed manifest carries "expires" (UTC, ISO 8601): past it, a replayed
// old manifest cannot bring back an old release. Empty when it may be used.
QString expiryProblem(const QByteArray &body, const QDateTime &now)
{
    const QJsonValue value = QJsonDocument::fromJson(body).object().value(QLatin1String("expires"));
    // Without one, a replayed manifest naming a known-bad release would be
    // good for ever.
    if (value.isUndefined())
        return QStringLiteral("в подписанном manifest нет срока действия (expires)");
    const QString text = value.toString();
    const QDateTime expires = QDateTime::fromString(text, Qt::ISODate);
    if (!text.endsWith(QLatin1Char('Z')) || !expires.isValid())
        return QStringLiteral("некорректный срок действия (expires)");
    if (now >= expires)
        return QStringLiteral("срок действия manifest истёк %1").arg(text);
    return QString();
}

#ifdef TAMBRIX_TEST_SEAMS
// Lets the tests judge expiry at a moment of their choosing.
QDateTime testNow;
#endif

QDateTime currentUtc()
{
#ifdef TAMBRIX_TEST_SEAMS
    if (testNow.isValid())
        return testNow;
#endif
    return QDateTime::currentDateTimeUtc();
}

bool SetupDialog::fetchManifest(Manifest &manifest, QString &error)
{
    const QString url = QStringLiteral("%1%2").arg(updateBaseUrl(), QLatin1String(manifestPath));
    QByteArray body;
    bool tooLarge = false;
    if (!fetchSmallDocument(this, url, manifestMaxBytes, body, tooLarge, error)) {
        if (tooLarge)
            error = QStringLiteral("Manifest слишком большой (больше 1 МБ)");
        return false;
    }
    // With release keys compiled in, the manifest counts only with a valid
    // signature of its exact bytes, checked before anything in it is read.
    const QByteArray keys = releaseKeys();
    if (!keys.isEmpty()) {
        QByteArray signature;
        QString signatureError;
        if (!fetchSmallDocument(this, url + QLatin1String(signatureSuffix), signatureMaxBytes,
                                signature, tooLarge, signatureError)) {
            error = tooLarge
                        ? QStringLiteral("подпись manifest не прошла проверку")
                        : QStringLiteral("подпись manifest не получена (%1)").arg(signatureError);
            return false;
        }
        if (!verifySignature(body, signature, keys)) {
            error = QStringLiteral("подпись manifest не прошла проверку");
            return false;
        }
    }
    if (!parseManifest(body, manifest, error))
        return false;
    if (!keys.isEmpty()) {
        // The signature covers the package only through its digest.
        if (manifest.sha256.isEmpty()) {
            error = QStringLiteral("в подписанном manifest нет sha256");
            return false;
        }
        const QString expired = expiryProblem(body, currentUtc());
        if (!expired.isEmpty()) {
            error = expired;
            return false;
        }
    }
    return true;
}

// Always a new plain file: a file or link at its name goes first (a link as
// a link; a folder stays, and the download fails), and the file is created
// only where nothing is, so that a link planted meanwhile is never written
// through. Unbuffered, so that a failed write (a full disk) is seen at the
// write that failed and not later in a flush nobody checks.
bool openNewDownloadFile(QFile &file)
{
    if (isLinkEntry(file.fileName()))
        removeLinkEntry(file.fileName());
    else if (QFileInfo(file.fileName()).isFile())
        QFile::remove(file.fileName());
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered);
}

bool SetupDialog::downloadToFile(const Manifest &manifest, const QString &filePath, QString &error)
{
    installExtraCaCertificate();
    QNetworkAccessManager manager;
    ProxyQuestion question;
    answerProxyFromMemory(manager, question);
    QNetworkRequest request{QUrl(manifest.url)};
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray(userAgent));
    request.setTransferTimeout(downloadTimeoutMs);
    // Qt's HTTP/2 client ignores the read-buffer cap below and keeps taking
    // data: 100-450 MB resident for a 1 GiB package from an HTTP/2 server.
    // Over HTTP/1.1 the cap holds and memory stays flat.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    QFile file(filePath);
    if (!openNewDownloadFile(file)) {
        error = QStringLiteral("Не удалось создать файл загрузки");
        return false;
    }

    startDownloadProgress(manifest.size);

    QEventLoop loop;
    QNetworkReply *reply = manager.get(request);
    reply->setReadBufferSize(downloadReadBufferSize);
    QString writeError;
    auto drain = [&]() {
        if (!writeError.isEmpty())
            return;
        const QByteArray data = reply->readAll();
        // A short write reports no error of its own; writing the rest again
        // surfaces the cause (a full disk, a quota) as the file's error text.
        qint64 written = 0;
        while (written < data.size()) {
            const qint64 n = file.write(data.constData() + written, data.size() - written);
            if (n <= 0) {
                // A truncated package must never pass as a complete one.
                writeError = file.errorString();
                reply->abort();
                return;
            }
            written += n;
        }
    };
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this](qint64 received, qint64 total) { setDownloadProgress(received, total); });
    connect(reply, &QNetworkReply::readyRead, this, drain);
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();

    drain();
    // The handlers refer to locals of this call; the reply outlives them.
    disconnect(reply, nullptr, this, nullptr);
    file.close();
    if (writeError.isEmpty() && file.error() != QFileDevice::NoError)
        writeError = file.errorString();

    if (!writeError.isEmpty()) {
        error = QStringLiteral("Не удалось записать файл загрузки (%1)").arg(writeError);
        reply->deleteLater();
        file.remove();
        return false;
    }
    if (reply->error() != QNetworkReply::NoError) {
        reply->deleteLater();
        file.remove();
        // The proxy's question, put to the user, and the download made again.
        if (!question.asked) {
            error = replyError(*reply);
            return false;
        }
        return askProxySignIn(this, question, error) && downloadToFile(manifest, filePath, error);
    }
    reply->deleteLater();
    return true;
}

bool verifySha256(const QString &filePath, const QString &expected)
{
    if (expected.isEmpty())
        return true;
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray chunk(hashChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = file.read(chunk.data(), hashChunkSize);
        if (n < 0)
            return false; // a read error must not pass for a short, matching file
        if (n == 0)
            break;
        hash.addData(QByteArrayView(chunk.constData(), n));
        // A large package takes seconds: the window keeps answering meanwhile.
        QCoreApplication::processEvents();
    }
    return hash.result().toHex().compare(expected.toUtf8(), Qt::CaseInsensitive) == 0;
}

} // namespace
