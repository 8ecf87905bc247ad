// The reference for bench/startup: the least a Qt Widgets program needs to
// show a 460 x 320 dialog, built with the same flags as the installer.
// Records its first paint the way the timed installer build does.
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QFile>

namespace {

class MinimalDialog : public QDialog
{
protected:
    void paintEvent(QPaintEvent *event) override
    {
        if (!painted) {
            painted = true;
            QFile log(qEnvironmentVariable("TAMBRIX_STAGE_LOG"));
            if (log.open(QIODevice::Append | QIODevice::Text))
                log.write("painted " + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) +
                          '\n');
        }
        QDialog::paintEvent(event);
    }

private:
    bool painted = false;
};

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    MinimalDialog dialog;
    dialog.setFixedSize(460, 320);
    return dialog.exec();
}
