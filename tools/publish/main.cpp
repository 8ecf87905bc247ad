// publish: turns an application folder into the static files of a release,
// as the update server serves them.
//
//   publish --app FOLDER --version VERSION --out FOLDER
//           [--wrap NAME] [--notes TEXT] [--store]
//           [--sign-key KEY.pem --expires DAYS]
//   publish --verify --out FOLDER --key PUBLIC.pem
//
// Writes, below --out:
//   updates/desktop.json                  the release manifest
//   updates/desktop.json.sig              its signature (with --sign-key)
//   files/TambrixDesktop-VERSION.zip      the package
// --sign-key signs the manifest's exact bytes with the vendor's ECDSA P-256
// private key (PEM, as `openssl ecparam -name prime256v1 -genkey` writes it,
// read from that path and nowhere else); --expires, required with it, adds
// "expires", DAYS from now, after which the installer refuses the signed
// manifest (it refuses a signed one without it: a replayed old manifest
// would otherwise stay good for ever). --verify checks
// a published folder (a CDN's copy, say) against a public key: the
// signature, the expiry and the package's digest and size.
// The manifest's url is the package's path on the same server
// ("/files/TambrixDesktop-VERSION.zip"), so the folder can be served as it is
// by any static HTTPS server or CDN. --wrap puts the application into one
// folder of that name inside the archive; --store skips compression.

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include "signature.h"
#include "signing.h"
#include "winpaths.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <sys/stat.h>

namespace {

bool fail(const QString &message)
{
    std::fprintf(stderr, "publish: %s\n", qPrintable(message));
    return false;
}

// Every entry below the folder, hidden ones included, in a stable order so
// that the same folder always gives the same archive layout.
QStringList entriesOf(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(folder).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

bool writeZip(const QString &appFolder, const QString &zipPath, const QString &wrap, bool store)
{
    archive *zip = archive_write_new();
    archive_write_set_format_zip(zip);
    archive_write_set_options(zip, store ? "zip:compression=store,zip:hdrcharset=UTF-8"
                                         : "zip:compression=deflate,zip:hdrcharset=UTF-8");
    if (archive_write_open_filename(zip, QFile::encodeName(zipPath).constData()) != ARCHIVE_OK) {
        const QString message = QString::fromLocal8Bit(archive_error_string(zip));
        archive_write_free(zip);
        return fail(QStringLiteral("cannot create %1: %2").arg(zipPath, message));
    }
    const QString prefix = wrap.isEmpty() ? QString() : wrap + QLatin1Char('/');
    bool ok = true;
    QStringList entries = entriesOf(appFolder);
    if (!wrap.isEmpty())
        entries.prepend(QString());
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (const QString &relative : std::as_const(entries)) {
        const QString source =
            relative.isEmpty() ? appFolder : appFolder + QLatin1Char('/') + relative;
        const QByteArray native = QFile::encodeName(source);
        struct stat info;
        if (lstat(native.constData(), &info) != 0) {
            ok = fail(QStringLiteral("cannot read %1").arg(source));
            break;
        }
        QString name = relative.isEmpty() ? wrap : prefix + relative;
        archive_entry *entry = archive_entry_new();
        archive_entry_copy_stat(entry, &info);
        if (S_ISDIR(info.st_mode))
            name += QLatin1Char('/');
        archive_entry_set_pathname_utf8(entry, name.toUtf8().constData());
        if (S_ISLNK(info.st_mode))
            archive_entry_set_symlink_utf8(
                entry, QFile::encodeName(QFile::symLinkTarget(source)).constData());
        if (!S_ISREG(info.st_mode))
            archive_entry_set_size(entry, 0);
        if (archive_write_header(zip, entry) != ARCHIVE_OK) {
            ok = fail(QStringLiteral("%1: %2").arg(
                name, QString::fromLocal8Bit(archive_error_string(zip))));
            archive_entry_free(entry);
            break;
        }
        if (S_ISREG(info.st_mode)) {
            QFile file(source);
            if (!file.open(QIODevice::ReadOnly)) {
                ok = fail(QStringLiteral("cannot read %1: %2").arg(source, file.errorString()));
            } else {
                for (;;) {
                    const qint64 n = file.read(buffer.data(), buffer.size());
                    if (n < 0) {
                        ok = fail(
                            QStringLiteral("cannot read %1: %2").arg(source, file.errorString()));
                        break;
                    }
                    if (n == 0)
                        break;
                    if (archive_write_data(zip, buffer.constData(), size_t(n)) != n) {
                        ok = fail(QStringLiteral("%1: %2").arg(
                            name, QString::fromLocal8Bit(archive_error_string(zip))));
                        break;
                    }
                }
            }
        }
        archive_entry_free(entry);
        if (!ok)
            break;
    }
    if (archive_write_close(zip) != ARCHIVE_OK && ok)
        ok = fail(QString::fromLocal8Bit(archive_error_string(zip)));
    archive_write_free(zip);
    return ok;
}

bool digestOf(const QString &path, QByteArray &hex, qint64 &size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return fail(QStringLiteral("cannot read %1").arg(path));
    hex = hash.result().toHex();
    size = file.size();
    return true;
}

} // namespace

QString versionFaultText(NameFault fault)
{
    switch (fault) {
    case NameFault::None:
        break;
    case NameFault::Separator:
        return QStringLiteral("must not contain / or \\");
    case NameFault::Control:
        return QStringLiteral("must not contain control characters");
    case NameFault::ForbiddenCharacter:
        return QStringLiteral("must not contain < > : \" | ? *");
    case NameFault::Bracket:
        return QStringLiteral("must not contain [ or ]");
    case NameFault::TrailingDotOrBlank:
        return QStringLiteral("must not end in a dot or a blank");
    case NameFault::DeviceName:
        return QStringLiteral("must not be a Windows device name (CON, NUL, COM1, …)");
    }
    return QString();
}

// The DER signature `openssl dgst -sha256 -sign` would write, or nothing.
QByteArray signWithKeyFile(const QString &keyFile, const QByteArray &data)
{
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read the signing key %1").arg(keyFile));
        return QByteArray();
    }
    const QByteArray signature = signWithPrivateKey(file.readAll(), data);
    if (signature.isEmpty()) {
        fail(QStringLiteral("%1 is not a private key that can sign").arg(keyFile));
        return QByteArray();
    }
    // Only P-256 keys make signatures the installer accepts.
    if (signatureToRawForm(signature).isEmpty()) {
        fail(QStringLiteral("%1 is not an ECDSA P-256 key").arg(keyFile));
        return QByteArray();
    }
    return signature;
}

bool writeWhole(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return fail(QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    return true;
}

// publish --verify: whether a published folder is what the installer with
// this key would accept.
int verifySite(const QString &out, const QString &keyFile)
{
    QFile keyIn(keyFile);
    if (keyFile.isEmpty() || !keyIn.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("--verify needs --key with a public key (PEM)"));
        return 2;
    }
    const QByteArray key = keyIn.readAll();
    QFile manifestIn(out + QLatin1String("/updates/desktop.json"));
    QFile signatureIn(out + QLatin1String("/updates/desktop.json.sig"));
    if (!manifestIn.open(QIODevice::ReadOnly) || !signatureIn.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("%1 has no updates/desktop.json with its .sig").arg(out));
        return 1;
    }
    const QByteArray body = manifestIn.readAll();
    if (!verifySignature(body, signatureIn.readAll(), key)) {
        fail(QStringLiteral("the manifest's signature does not verify with %1").arg(keyFile));
        return 1;
    }
    const QJsonObject manifest = QJsonDocument::fromJson(body).object();
    // As the installer judges it: a signed manifest without an expiry is refused.
    const QJsonValue expiry = manifest.value(QLatin1String("expires"));
    if (expiry.isUndefined()) {
        fail(QStringLiteral("the signed manifest has no expiry (expires): the installer refuses "
                            "it"));
        return 1;
    }
    const QString expires = expiry.isString() ? expiry.toString() : QStringLiteral("not a string");
    const QDateTime when = QDateTime::fromString(expires, Qt::ISODate);
    if (!expires.endsWith(QLatin1Char('Z')) || !when.isValid() ||
        when <= QDateTime::currentDateTimeUtc()) {
        fail(QStringLiteral("the manifest has expired or its expiry is unreadable (%1)")
                 .arg(expires));
        return 1;
    }
    const QString url = manifest.value(QLatin1String("url")).toString();
    QByteArray sha256;
    qint64 size = 0;
    if (!url.startsWith(QLatin1Char('/')) || !digestOf(out + url, sha256, size))
        return fail(QStringLiteral("the package %1 is not in %2").arg(url, out)), 1;
    if (QString::fromLatin1(sha256) != manifest.value(QLatin1String("sha256")).toString() ||
        size != qint64(manifest.value(QLatin1String("size")).toDouble()))
        return fail(QStringLiteral("the package %1 does not match the manifest").arg(url)), 1;
    std::printf("verified %s: signature, expires %s, package %s\n", qPrintable(out),
                qPrintable(expires), sha256.constData());
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Publishes a Tambrix Desktop release as static files."));
    parser.addHelpOption();
    const QCommandLineOption appOption(
        QStringLiteral("app"), QStringLiteral("Application folder (holds TambrixDesktop.exe)."),
        QStringLiteral("folder"));
    const QCommandLineOption versionOption(
        QStringLiteral("version"), QStringLiteral("Release version."), QStringLiteral("version"));
    const QCommandLineOption outOption(
        QStringLiteral("out"), QStringLiteral("Folder to publish into."), QStringLiteral("folder"));
    const QCommandLineOption wrapOption(
        QStringLiteral("wrap"), QStringLiteral("Wrap the application in one folder of this name."),
        QStringLiteral("name"));
    const QCommandLineOption notesOption(QStringLiteral("notes"), QStringLiteral("Release notes."),
                                         QStringLiteral("text"));
    const QCommandLineOption storeOption(QStringLiteral("store"),
                                         QStringLiteral("Store files without compression."));
    const QCommandLineOption signKeyOption(
        QStringLiteral("sign-key"),
        QStringLiteral("Sign the manifest with this ECDSA P-256 private key (PEM)."),
        QStringLiteral("file"));
    const QCommandLineOption expiresOption(
        QStringLiteral("expires"),
        QStringLiteral("The signed manifest expires this many days from now (required with "
                       "--sign-key)."),
        QStringLiteral("days"));
    const QCommandLineOption verifyOption(
        QStringLiteral("verify"),
        QStringLiteral("Check a published folder (--out) against --key."));
    const QCommandLineOption keyOption(QStringLiteral("key"),
                                       QStringLiteral("Public key (PEM) for --verify."),
                                       QStringLiteral("file"));
    parser.addOptions({appOption, versionOption, outOption, wrapOption, notesOption, storeOption,
                       signKeyOption, expiresOption, verifyOption, keyOption});
    parser.process(app);
    if (parser.isSet(verifyOption))
        return verifySite(QDir::cleanPath(parser.value(outOption)), parser.value(keyOption));
    int expiresDays = 0;
    if (parser.isSet(signKeyOption) && !parser.isSet(expiresOption)) {
        fail(QStringLiteral("--sign-key needs --expires DAYS: the installer refuses a signed "
                            "manifest without an expiry"));
        return 2;
    }
    if (parser.isSet(expiresOption)) {
        bool number = false;
        expiresDays = parser.value(expiresOption).toInt(&number);
        if (!number || expiresDays <= 0 || !parser.isSet(signKeyOption)) {
            fail(QStringLiteral("--expires takes a number of days, with --sign-key"));
            return 2;
        }
    }

    const QString appFolder =
        QDir::cleanPath(QFileInfo(parser.value(appOption)).absoluteFilePath());
    const QString version = parser.value(versionOption);
    const QString out = QDir::cleanPath(parser.value(outOption));
    if (appFolder.isEmpty() || version.isEmpty() || out.isEmpty()) {
        fail(QStringLiteral("--app, --version and --out are required"));
        return 2;
    }
    // The installer refuses these (the version names a file and a folder on
    // Windows); better to find out here than on users' machines.
    if (const NameFault fault = fileNameComponentFault(version, true); fault != NameFault::None) {
        fail(QStringLiteral("the version %1").arg(versionFaultText(fault)));
        return 2;
    }
    // The wrapper is a folder name on Windows too, and PowerShell reads one
    // holding [ ] * ? as a pattern wherever a path is not given as
    // -LiteralPath: the copy out of it could find nothing to copy.
    const QString wrap = parser.value(wrapOption);
    if (const NameFault fault = fileNameComponentFault(wrap, true);
        !wrap.isEmpty() && fault != NameFault::None) {
        fail(QStringLiteral("the wrapper folder %1").arg(versionFaultText(fault)));
        return 2;
    }
    if (!QFileInfo::exists(appFolder + QLatin1String("/TambrixDesktop.exe"))) {
        fail(QStringLiteral("%1 holds no TambrixDesktop.exe").arg(appFolder));
        return 1;
    }

    const QString packageName = QStringLiteral("TambrixDesktop-%1.zip").arg(version);
    const QString packagePath = out + QLatin1String("/files/") + packageName;
    QDir().mkpath(out + QLatin1String("/files"));
    QDir().mkpath(out + QLatin1String("/updates"));
    const QString partial = packagePath + QLatin1String(".partial");
    if (!writeZip(appFolder, partial, wrap, parser.isSet(storeOption))) {
        QFile::remove(partial);
        return 1;
    }
    QFile::remove(packagePath);
    if (!QFile::rename(partial, packagePath)) {
        fail(QStringLiteral("cannot move the package into place at %1").arg(packagePath));
        return 1;
    }

    QByteArray sha256;
    qint64 size = 0;
    if (!digestOf(packagePath, sha256, size))
        return 1;
    QJsonObject manifest;
    manifest.insert(QStringLiteral("version"), version);
    manifest.insert(QStringLiteral("url"), QStringLiteral("/files/") + packageName);
    manifest.insert(QStringLiteral("sha256"), QString::fromLatin1(sha256));
    manifest.insert(QStringLiteral("size"), double(size));
    manifest.insert(QStringLiteral("notes"), parser.value(notesOption));
    if (expiresDays > 0)
        manifest.insert(QStringLiteral("expires"),
                        QDateTime::currentDateTimeUtc()
                            .addDays(expiresDays)
                            .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ")));

    // Signed before anything is written, so that a key that cannot sign
    // leaves the published folder as it was.
    const QByteArray body = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
    QByteArray signature;
    if (parser.isSet(signKeyOption)) {
        signature = signWithKeyFile(parser.value(signKeyOption), body);
        if (signature.isEmpty())
            return 1;
    }
    // The manifest goes last and whole (its signature right after it): a
    // client never sees one that names a package not yet in place.
    if (!writeWhole(out + QLatin1String("/updates/desktop.json"), body))
        return 1;
    const QString signatureFile = out + QLatin1String("/updates/desktop.json.sig");
    if (signature.isEmpty())
        QFile::remove(signatureFile); // an earlier release's would no longer match
    else if (!writeWhole(signatureFile, signature))
        return 1;
    std::printf("published %s: %s (%lld bytes, sha256 %s)\n", qPrintable(version),
                qPrintable(packagePath), static_cast<long long>(size), sha256.constData());
    return 0;
}
