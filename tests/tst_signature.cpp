// Release signatures with the fixed vectors of tests/data/signing: what
// verifies and what never does. The Windows build runs the same vectors
// through CNG under wine (tests/windows/tst_signature.cpp).
#include "signature_vectors.h"

#include "signature.h"

#include <QtTest>

class tst_Signature : public QObject
{
    Q_OBJECT

private slots:
    void verify_data();
    void verify();
};

void tst_Signature::verify_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QByteArray>("keys");
    QTest::addColumn<bool>("valid");
    const QList<signaturevectors::Case> cases =
        signaturevectors::cases(QStringLiteral(TAMBRIX_SOURCE_DIR "/tests/data/signing"));
    QVERIFY2(!cases.isEmpty(), "the vectors in tests/data/signing are missing");
    for (const signaturevectors::Case &c : cases)
        QTest::newRow(c.name) << c.data << c.signature << c.keys << c.valid;
}

void tst_Signature::verify()
{
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, signature);
    QFETCH(QByteArray, keys);
    QFETCH(bool, valid);
    QCOMPARE(verifySignature(data, signature, keys), valid);
}

QTEST_GUILESS_MAIN(tst_Signature)
#include "tst_signature.moc"
