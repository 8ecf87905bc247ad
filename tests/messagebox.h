// Answers the message boxes the installer shows, from inside their own
// modal loops, and keeps what they said.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

namespace testbox {

struct SeenBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    bool hasDefault = true;
    bool parentIsDialog = false;
};

// Answers the next modal message box from inside its own event loop.
inline void answerNextMessageBox(SeenBox *seen, const QWidget *expectedParent)
{
    QTimer::singleShot(20, [seen, expectedParent] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box) {
            answerNextMessageBox(seen, expectedParent);
            return;
        }
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->icon = box->icon();
        seen->buttons = box->standardButtons();
        seen->hasDefault = box->defaultButton() != nullptr;
        seen->parentIsDialog = box->parentWidget() == expectedParent;
        box->button(QMessageBox::Ok)->click();
    });
}

} // namespace testbox
