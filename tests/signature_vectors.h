// The release-signature vectors (tests/data/signing: two P-256 test key
// pairs, a manifest, its signatures by each as `openssl dgst -sha256 -sign`
// wrote them, and a P-384 key), shared by the Linux test and the Windows
// check under wine, so that libcrypto and CNG answer the same cases.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

namespace signaturevectors {

struct Case
{
    const char *name;
    QByteArray data, signature, keys;
    bool valid;
};

inline QByteArray read(const QString &folder, const char *name)
{
    QFile file(folder + QLatin1Char('/') + QLatin1String(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QByteArray flipped(QByteArray bytes, qsizetype at)
{
    bytes[at] = char(bytes.at(at) ^ 0x01);
    return bytes;
}

// The signature with its first INTEGER (r) rewritten.
inline QByteArray withR(const QByteArray &der, const QByteArray &r)
{
    const int rLength = quint8(der.at(3));
    const QByteArray s = der.mid(4 + rLength);
    QByteArray body = QByteArray("\x02", 1) + char(r.size()) + r + s;
    return QByteArray("\x30", 1) + char(body.size()) + body;
}

// The signature with its second INTEGER (s) rewritten.
inline QByteArray withS(const QByteArray &der, const QByteArray &s)
{
    const int rLength = quint8(der.at(3));
    QByteArray body = der.mid(2, 2 + rLength) + QByteArray("\x02", 1) + char(s.size()) + s;
    return QByteArray("\x30", 1) + char(body.size()) + body;
}

// The signature with `extra` after s, counted inside the SEQUENCE.
inline QByteArray withTrailer(const QByteArray &der, const QByteArray &extra)
{
    QByteArray body = der.mid(2) + extra;
    return QByteArray("\x30", 1) + char(body.size()) + body;
}

// Empty when the vector files are not all there.
inline QList<Case> cases(const QString &folder)
{
    const QByteArray manifest = read(folder, "manifest.json");
    const QByteArray sig1 = read(folder, "manifest.json.sig-1");
    const QByteArray sig2 = read(folder, "manifest.json.sig-2");
    const QByteArray key1 = read(folder, "release-key-1.pub.pem");
    const QByteArray key2 = read(folder, "release-key-2.pub.pem");
    if (manifest.size() != 144 || sig1.size() != 70 || sig2.size() != 71 || key1.isEmpty() ||
        key2.isEmpty())
        return {};
    const int rLength = quint8(sig1.at(3));
    const QByteArray r = sig1.mid(4, rLength);
    const QByteArray noKey("-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n");
    return {
        {"valid", manifest, sig1, key1, true},
        {"valid, a canonical leading zero in an integer", manifest, sig2, key2, true},
        {"second key of two (rotation)", manifest, sig2, key1 + key2, true},
        {"first key of two", manifest, sig1, key1 + key2, true},
        {"wrong key", manifest, sig1, key2, false},
        {"no key", manifest, sig1, QByteArray(), false},
        {"flipped byte in the body, first", flipped(manifest, 0), sig1, key1, false},
        {"flipped byte in the body, in the digest", flipped(manifest, manifest.indexOf("9f86")),
         sig1, key1, false},
        {"one more byte in the body", manifest + ' ', sig1, key1, false},
        {"flipped byte in r", manifest, flipped(sig1, 10), key1, false},
        {"flipped byte in s", manifest, flipped(sig1, 60), key1, false},
        {"truncated signature", manifest, sig1.chopped(1), key1, false},
        {"half a signature", manifest, sig1.left(35), key1, false},
        {"over-long signature", manifest, sig1 + '\0', key1, false},
        {"empty signature", manifest, QByteArray(), key1, false},
        {"text instead of a signature", manifest,
         QByteArray("not a signature at all, but text of a similar length......"), key1, false},
        {"wrong sequence length", manifest, flipped(sig1, 1), key1, false},
        {"not a sequence", manifest, flipped(sig1, 0), key1, false},
        {"r with a needless leading zero", manifest, withR(sig1, QByteArray(1, '\0') + r), key1,
         false},
        {"s with a needless leading zero", manifest,
         withS(sig1, QByteArray(1, '\0') + sig1.mid(4 + rLength + 2)), key1, false},
        {"bytes after s inside the sequence", manifest, withTrailer(sig1, QByteArray(2, '\0')),
         key1, false},
        {"r negative", manifest, withR(sig1, QByteArray(1, '\x80') + r.mid(1)), key1, false},
        {"r zero", manifest, withR(sig1, QByteArray(1, '\0')), key1, false},
        {"r too long", manifest, withR(sig1, QByteArray(1, '\x01') + r), key1, false},
        {"raw r||s instead of DER", manifest, r + sig1.right(32), key1, false},
        {"a P-384 key and its signature", manifest, read(folder, "manifest.json.sig-p384"),
         read(folder, "p384.pub.pem"), false},
        {"a key that is no key", manifest, sig1, noKey, false},
        {"a broken key, then the right one", manifest, sig1, noKey + key1, true},
    };
}

} // namespace signaturevectors
