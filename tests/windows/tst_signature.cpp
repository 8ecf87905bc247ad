// Release signatures through CNG (BCryptVerifySignature, bcrypt.dll), with
// the same vectors as the Linux test: argument 1 is the folder that holds
// them (tests/data/signing). Runs under wine (or Windows); exit code 0 when
// every case gives the answer libcrypto gives.
#include "../signature_vectors.h"

#include "signature.h"

#include <QString>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::printf("usage: tst_signature FOLDER-OF-VECTORS\n");
        return 2;
    }
    const QList<signaturevectors::Case> cases =
        signaturevectors::cases(QString::fromLocal8Bit(argv[1]));
    if (cases.isEmpty()) {
        std::printf("FAILED: no vectors in %s\n", argv[1]);
        return 1;
    }
    int failures = 0;
    for (const signaturevectors::Case &c : cases) {
        const bool ok = verifySignature(c.data, c.signature, c.keys) == c.valid;
        std::printf("  %s: %s (%s)\n", ok ? "ok" : "FAILED", c.name,
                    c.valid ? "verifies" : "refused");
        failures += !ok;
    }
    std::printf("signature: %s (%d cases)\n", failures ? "FAILED" : "passed", int(cases.size()));
    return failures ? 1 : 0;
}
