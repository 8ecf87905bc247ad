// Times verifySha256 on one file, for bench/checksum.
//
//   bench_checksum FILE EXPECTED-HEX
//
// Prints the seconds it took; exits 1 when the digest does not match.
#include "installer.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_checksum FILE EXPECTED-HEX\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    QElapsedTimer timer;
    timer.start();
    const bool ok = verifySha256(QString::fromLocal8Bit(argv[1]), QString::fromLatin1(argv[2]));
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (!ok) {
        std::fprintf(stderr, "digest mismatch\n");
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}
