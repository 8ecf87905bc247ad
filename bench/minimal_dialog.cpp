// The reference for bench/startup: the least a Qt Widgets program needs to
// show a 460 x 320 dialog, built with the same flags as the installer.
// Records its first paint the way the timed installer build does.
//
// With the argument "text" it also shows one line of text: the least any
// window with words in it pays, since the first text loads the system's font
// configuration, which the bare dialog never touches.
#include <QApplication>
#include <QDateTime>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QVBoxLayout>

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
    if (argc > 1 && QByteArray(argv[1]) == "text") {
        auto *layout = new QVBoxLayout(&dialog);
        layout->addWidget(new QLabel(QStringLiteral("Установка Tambrix Desktop"), &dialog));
    }
    return dialog.exec();
}
