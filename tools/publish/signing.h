// Signing a release manifest as `openssl dgst -sha256 -sign key.pem` does:
// the vendor side (tools/publish) and the tests that play it.
#pragma once

#include <QByteArray>

#include <openssl/evp.h>
#include <openssl/pem.h>

// The DER signature of `data` by the PEM private key `pem`, or nothing when
// `pem` holds no key that can sign.
inline QByteArray signWithPrivateKey(const QByteArray &pem, const QByteArray &data)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    EVP_PKEY *key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    QByteArray signature(256, '\0');
    size_t length = size_t(signature.size());
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    const bool ok =
        key && EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key) == 1 &&
        EVP_DigestSign(context, reinterpret_cast<unsigned char *>(signature.data()), &length,
                       reinterpret_cast<const unsigned char *>(data.constData()),
                       size_t(data.size())) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
    return ok ? signature.left(qsizetype(length)) : QByteArray();
}
