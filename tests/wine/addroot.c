/* Adds a CA certificate (PEM) to the current user's Root store, as a user
 * would trust a self-hosted update server's CA on Windows. For the wine
 * tests only; never shipped. Real Windows asks the user to confirm. */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: addroot CA.pem\n");
        return 2;
    }
    FILE *f = fopen(argv[1], "rb");
    if (!f) {
        fprintf(stderr, "addroot: cannot read %s\n", argv[1]);
        return 1;
    }
    static char pem[65536];
    const size_t n = fread(pem, 1, sizeof pem - 1, f);
    fclose(f);
    pem[n] = 0;
    DWORD size = 0;
    if (!CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, NULL, &size, NULL, NULL)) {
        fprintf(stderr, "addroot: not a PEM certificate\n");
        return 1;
    }
    BYTE *der = malloc(size);
    CryptStringToBinaryA(pem, 0, CRYPT_STRING_BASE64HEADER, der, &size, NULL, NULL);
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, L"Root");
    if (!store) {
        fprintf(stderr, "addroot: cannot open the Root store (%lu)\n", GetLastError());
        return 1;
    }
    if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                          CERT_STORE_ADD_REPLACE_EXISTING, NULL)) {
        fprintf(stderr, "addroot: cannot add the certificate (%lu)\n", GetLastError());
        return 1;
    }
    CertCloseStore(store, 0);
    printf("addroot: trusted\n");
    return 0;
}
