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

// Windows enters through the framework's WinMain wrapper, which calls main;
// everywhere the arguments go straight on to qMain.
int main(int argc, char **argv)
{
    return qMain(argc, argv);
}
