// An in-process loopback HTTP(S) server with one handler per test case, and
// the certificates it serves (made with openssl at test time).
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QList>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

namespace testserver {

struct Request
{
    QByteArray method;
    QByteArray path;
    QHash<QByteArray, QByteArray> headers; // names in lower case
};

class Server : public QTcpServer
{
public:
    using Handler = std::function<void(QTcpSocket *, const Request &)>;

    // An empty certificate serves plain HTTP.
    explicit Server(const QSslCertificate &certificate = QSslCertificate(),
                    const QSslKey &key = QSslKey())
        : certificate(certificate), key(key)
    {
        listen(QHostAddress::LocalHost);
    }

    void setHandler(Handler h) { handler = std::move(h); }
    QString origin(const QString &host = QStringLiteral("localhost")) const
    {
        return QStringLiteral("%1://%2:%3")
            .arg(certificate.isNull() ? QLatin1String("http") : QLatin1String("https"), host)
            .arg(serverPort());
    }

    QList<Request> requests;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        QTcpSocket *socket = nullptr;
        if (certificate.isNull()) {
            socket = new QTcpSocket(this);
            socket->setSocketDescriptor(descriptor);
        } else {
            auto *ssl = new QSslSocket(this);
            ssl->setSocketDescriptor(descriptor);
            ssl->setLocalCertificate(certificate);
            ssl->setPrivateKey(key);
            // The client may refuse our certificate; that is a test case.
            connect(ssl, &QSslSocket::sslErrors, ssl, [] {});
            ssl->startServerEncryption();
            socket = ssl;
        }
        auto *buffer = new QByteArray;
        connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            if (buffer->endsWith("\r\n\r\n"))
                return; // request already handled
            buffer->append(socket->readAll());
            const qsizetype end = buffer->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            buffer->truncate(end + 4);
            Request request;
            const QList<QByteArray> lines = buffer->left(end).split('\n');
            const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
            request.method = first.value(0);
            request.path = first.value(1);
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                           lines[i].mid(colon + 1).trimmed());
            }
            requests.append(request);
            if (handler)
                handler(socket, request);
        });
    }

private:
    QSslCertificate certificate;
    QSslKey key;
    Handler handler;
};

// Writes a whole response and closes the connection once it is sent.
inline void respond(QTcpSocket *socket, int status, const QByteArray &reason,
                    const QByteArray &body, const QByteArray &extraHeaders = {},
                    bool announceLength = true)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    if (announceLength)
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += extraHeaders + "Connection: close\r\n\r\n";
    socket->write(head + body);
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            socket->disconnectFromHost();
    });
}

struct Pki
{
    QSslCertificate caCertificate;
    QSslCertificate trustedCertificate; // for localhost, signed by the CA
    QSslKey trustedKey;
    QSslCertificate untrustedCertificate; // self-signed, for localhost
    QSslKey untrustedKey;
    QString error;
};

inline bool runOpenssl(const QString &folder, const QStringList &arguments, QString &error)
{
    QProcess openssl;
    openssl.setWorkingDirectory(folder);
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        error =
            QStringLiteral("openssl %1: %2")
                .arg(arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(openssl.readAll()));
        return false;
    }
    return true;
}

inline Pki makePki(const QString &folder)
{
    Pki pki;
    const QStringList steps[] = {
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
         QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
         QStringLiteral("30"), QStringLiteral("-subj"), QStringLiteral("/CN=Test CA"),
         QStringLiteral("-keyout"), QStringLiteral("ca.key"), QStringLiteral("-out"),
         QStringLiteral("ca.pem"), QStringLiteral("-addext"),
         QStringLiteral("basicConstraints=critical,CA:TRUE"), QStringLiteral("-addext"),
         QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")},
        {QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
         QStringLiteral("-nodes"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
         QStringLiteral("-keyout"), QStringLiteral("server.key"), QStringLiteral("-out"),
         QStringLiteral("server.csr")},
        {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
         QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
         QStringLiteral("-CAkey"), QStringLiteral("ca.key"), QStringLiteral("-CAcreateserial"),
         QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-extfile"),
         QStringLiteral("server.ext"), QStringLiteral("-out"), QStringLiteral("server.pem")},
        {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
         QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-days"),
         QStringLiteral("30"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
         QStringLiteral("-addext"), QStringLiteral("subjectAltName=DNS:localhost"),
         QStringLiteral("-keyout"), QStringLiteral("self.key"), QStringLiteral("-out"),
         QStringLiteral("self.pem")},
    };
    QFile ext(folder + QLatin1String("/server.ext"));
    if (!ext.open(QIODevice::WriteOnly) ||
        ext.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n") < 0) {
        pki.error = ext.errorString();
        return pki;
    }
    ext.close();
    for (const QStringList &step : steps) {
        if (!runOpenssl(folder, step, pki.error))
            return pki;
    }
    auto read = [&](const char *name) {
        QFile f(folder + QLatin1Char('/') + QLatin1String(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    pki.caCertificate = QSslCertificate(read("ca.pem"));
    pki.trustedCertificate = QSslCertificate(read("server.pem"));
    pki.trustedKey = QSslKey(read("server.key"), QSsl::Rsa);
    pki.untrustedCertificate = QSslCertificate(read("self.pem"));
    pki.untrustedKey = QSslKey(read("self.key"), QSsl::Rsa);
    if (pki.caCertificate.isNull() || pki.trustedCertificate.isNull() || pki.trustedKey.isNull() ||
        pki.untrustedCertificate.isNull() || pki.untrustedKey.isNull())
        pki.error = QStringLiteral("openssl wrote certificates Qt cannot read");
    return pki;
}

// Makes the certificates in the isolated test root and trusts the CA the way
// the build trusts its compiled-in one.
inline Pki makeTrustedPki(const QString &folder)
{
    QDir().mkpath(folder);
    Pki pki = makePki(folder);
    if (pki.error.isEmpty()) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.addCaCertificate(pki.caCertificate);
        QSslConfiguration::setDefaultConfiguration(config);
    }
    return pki;
}

} // namespace testserver
