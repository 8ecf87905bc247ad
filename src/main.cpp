// TambrixSetup: the per-user online installer of Tambrix Desktop.
#include "installer.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>

int qMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("TambrixSetup"));
    QApplication::setOrganizationName(QStringLiteral("Tambrix"));
    QApplication::setWindowIcon(pngIcon(QStringLiteral(":/app_icon_256.png")));

    int result = 0;
    {
        SetupDialog dialog;
#ifdef TAMBRIX_STAGE_TIMES
        FirstPaintMark firstPaint(&dialog);
#endif
        if (const QScreen *screen = QGuiApplication::primaryScreen())
            dialog.move(centredTopLeft(screen->availableGeometry(), dialog.size()));
        result = dialog.exec();
    }
    return result == QDialog::Accepted ? 0 : 1;
}

// With MinGW the framework's WinMain wrapper calls qMain itself (and its
// headers rename main to qMain, so a main here would define qMain twice).
// With MSVC the wrapper calls main, and elsewhere the C runtime does: both
// hand the arguments straight on to qMain.
#ifndef QT_NEEDS_QMAIN
int main(int argc, char **argv)
{
    return qMain(argc, argv);
}
#endif
