// Release signatures: the manifest's exact bytes signed with the vendor's
// offline ECDSA P-256 key. The digest in the manifest proves that the
// package arrived whole; the signature proves who published the manifest,
// so that whoever controls the update server cannot make the installer run
// code of theirs. Windows verifies with CNG (bcrypt.dll, a system DLL), other
// systems with OpenSSL's libcrypto; both see the same bytes, after the same
// strict reading of the signature's DER encoding (libcrypto gets the
// signature as that reading re-encodes it, never the bytes as received).
#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QList>

#ifdef Q_OS_WIN
#include <qt_windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#include <openssl/x509.h>
#endif

namespace {

// A P-256 public key in its SubjectPublicKeyInfo DER form is this fixed
// prefix (id-ecPublicKey, prime256v1, an uncompressed point) and the point's
// two 32-byte coordinates.
const unsigned char p256KeyPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                       0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};
constexpr int p256CoordinateSize = 32;

// The point (X then Y) of a P-256 public key given as SubjectPublicKeyInfo
// DER, or nothing for any other key.
QByteArray p256Point(const QByteArray &publicKeyDer)
{
    const QByteArray prefix(reinterpret_cast<const char *>(p256KeyPrefix), sizeof p256KeyPrefix);
    if (publicKeyDer.size() != prefix.size() + 2 * p256CoordinateSize ||
        !publicKeyDer.startsWith(prefix))
        return QByteArray();
    return publicKeyDer.mid(prefix.size());
}

// Reads one DER INTEGER of an ECDSA signature at `at` as a 32-byte unsigned
// big-endian number. Only the canonical encoding is accepted: positive, no
// superfluous leading zero, no more than 32 bytes of value.
bool readSignatureInteger(const QByteArray &der, qsizetype &at, QByteArray &value)
{
    if (at + 2 > der.size() || der.at(at) != 0x02)
        return false;
    const int length = quint8(der.at(at + 1));
    if (length == 0 || length > p256CoordinateSize + 1 || at + 2 + length > der.size())
        return false;
    QByteArray bytes = der.mid(at + 2, length);
    if (quint8(bytes.at(0)) & 0x80)
        return false; // negative
    if (bytes.size() > 1 && bytes.at(0) == 0 && !(quint8(bytes.at(1)) & 0x80))
        return false; // a zero that is not needed
    if (bytes.at(0) == 0)
        bytes.remove(0, 1);
    if (bytes.size() > p256CoordinateSize || bytes.count('\0') == bytes.size())
        return false; // too large, or zero
    value = QByteArray(p256CoordinateSize - bytes.size(), '\0') + bytes;
    at += 2 + length;
    return true;
}

// The r||s form CNG takes, from the DER form OpenSSL writes
// (SEQUENCE { INTEGER r, INTEGER s }); nothing for any other encoding.
QByteArray signatureToRawForm(const QByteArray &der)
{
    if (der.size() < 8 || der.at(0) != 0x30 || quint8(der.at(1)) != der.size() - 2)
        return QByteArray();
    qsizetype at = 2;
    QByteArray r, s;
    if (!readSignatureInteger(der, at, r) || !readSignatureInteger(der, at, s) || at != der.size())
        return QByteArray();
    return r + s;
}

// The one canonical DER form of r||s, as the reader above accepts it: what
// libcrypto is given, so that it judges exactly what CNG is given and a
// lenient reading here could not pass unnoticed on either system.
[[maybe_unused]] QByteArray signatureToDerForm(const QByteArray &raw)
{
    QByteArray body;
    for (int half = 0; half < 2; ++half) {
        QByteArray value = raw.mid(half * p256CoordinateSize, p256CoordinateSize);
        while (value.size() > 1 && value.at(0) == 0)
            value.remove(0, 1);
        if (quint8(value.at(0)) & 0x80)
            value.prepend('\0');
        body += char(0x02);
        body += char(value.size());
        body += value;
    }
    return QByteArray(1, char(0x30)) + char(body.size()) + body;
}

// The SubjectPublicKeyInfo DER of each PEM public key in `pem` (one or more
// "-----BEGIN PUBLIC KEY-----" blocks).
QList<QByteArray> publicKeysFromPem(const QByteArray &pem)
{
    QList<QByteArray> keys;
    const QByteArray begin = "-----BEGIN PUBLIC KEY-----";
    const QByteArray end = "-----END PUBLIC KEY-----";
    qsizetype from = 0;
    while ((from = pem.indexOf(begin, from)) >= 0) {
        const qsizetype to = pem.indexOf(end, from);
        if (to < 0)
            break;
        keys << QByteArray::fromBase64(pem.mid(from + begin.size(), to - from - begin.size()));
        from = to + end.size();
    }
    return keys;
}

#ifdef Q_OS_WIN

bool verifyWithKey(const QByteArray &digest, const QByteArray &rawSignature,
                   const QByteArray &point)
{
    QByteArray blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
    auto *header = reinterpret_cast<BCRYPT_ECCKEY_BLOB *>(blob.data());
    header->dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    header->cbKey = p256CoordinateSize;
    blob += point;
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_KEY_HANDLE key = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key,
                                                 reinterpret_cast<PUCHAR>(blob.data()),
                                                 ULONG(blob.size()), 0));
    if (ok) {
        QByteArray hash = digest;
        QByteArray signature = rawSignature;
        ok = BCRYPT_SUCCESS(BCryptVerifySignature(
            key, nullptr, reinterpret_cast<PUCHAR>(hash.data()), ULONG(hash.size()),
            reinterpret_cast<PUCHAR>(signature.data()), ULONG(signature.size()), 0));
        BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

#else

bool verifyWithKey(const QByteArray &data, const QByteArray &derSignature,
                   const QByteArray &publicKeyDer)
{
    const auto *keyBytes = reinterpret_cast<const unsigned char *>(publicKeyDer.constData());
    EVP_PKEY *key = d2i_PUBKEY(nullptr, &keyBytes, long(publicKeyDer.size()));
    if (!key)
        return false;
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    const bool ok =
        context && EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestVerify(context, reinterpret_cast<const unsigned char *>(derSignature.constData()),
                         size_t(derSignature.size()),
                         reinterpret_cast<const unsigned char *>(data.constData()),
                         size_t(data.size())) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return ok;
}

#endif

// Whether `signature` (DER, as `openssl dgst -sha256 -sign` writes it) is a
// valid ECDSA P-256 signature of `data` by one of `keys` (PEM). A signature
// that is not one canonical DER encoding, and a key that is not P-256, are
// refused before any verification.
bool verifySignature(const QByteArray &data, const QByteArray &signature, const QByteArray &keys)
{
    const QByteArray raw = signatureToRawForm(signature);
    if (raw.isEmpty())
        return false;
    for (const QByteArray &key : publicKeysFromPem(keys)) {
        const QByteArray point = p256Point(key);
        if (point.isEmpty())
            continue;
#ifdef Q_OS_WIN
        if (verifyWithKey(QCryptographicHash::hash(data, QCryptographicHash::Sha256), raw, point))
            return true;
#else
        if (verifyWithKey(data, signatureToDerForm(raw), key))
            return true;
#endif
    }
    return false;
}

} // namespace
