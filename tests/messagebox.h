// Answers the message boxes the installer shows, from inside their own
// modal loops, and keeps what they said.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace testbox {

// Watches for the next modal message box for as long as it lives, answers it
// with OK and keeps what it showed. Scoped, so that a watcher whose box never
// came cannot answer a later test's box.
class SeenBox
{
public:
    explicit SeenBox(const QWidget *expectedParent) : expectedParent(expectedParent)
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start();
    }

    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool parentIsDialog = false;
    bool seen = false;

private:
    void answer()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        timer.stop();
        seen = true;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = box->standardButtons();
        parentIsDialog = box->parentWidget() == expectedParent;
        box->button(QMessageBox::Ok)->click();
    }

    const QWidget *expectedParent;
    QTimer timer;
};

} // namespace testbox
