// Times one package download exactly as the installer does it
// (SetupDialog::downloadToFile with its progress display), for bench/download.
//
//   bench_download URL SIZE TARGET
//
// Prints the seconds the transfer took; peak memory is measured from outside.
#include "installer.h"

#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_download URL SIZE TARGET\n");
        return 2;
    }
    QApplication app(argc, argv);
    SetupDialog dialog;
    dialog.show();
    Manifest manifest;
    manifest.url = QString::fromLocal8Bit(argv[1]);
    manifest.size = QByteArray(argv[2]).toLongLong();
    QString error;
    QElapsedTimer timer;
    timer.start();
    const bool ok = dialog.downloadToFile(manifest, QString::fromLocal8Bit(argv[3]), error);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (!ok) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("%.3f\n", seconds);
    return 0;
}
