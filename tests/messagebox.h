// Answers the message boxes the installer shows, from inside their own
// modal loops, and keeps what they said.
#pragma once

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

namespace testbox {

// Watches for the next modal message box for as long as it lives, answers it
// (OK unless told otherwise; NoButton: with the Escape key) and keeps what it
// showed. Scoped, so that a watcher whose box never came cannot answer a later
// test's box.
class SeenBox
{
public:
    explicit SeenBox(const QWidget *expectedParent,
                     QMessageBox::StandardButton answerWith = QMessageBox::Ok)
        : expectedParent(expectedParent), answerWith(answerWith)
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start();
    }

    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QStringList buttonTexts; // in the order the box lays them out
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QMessageBox::StandardButton escapeButton = QMessageBox::NoButton;
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
        for (QAbstractButton *button : box->buttons())
            buttonTexts << button->text();
        defaultButton = box->standardButton(box->defaultButton());
        escapeButton = box->standardButton(box->escapeButton());
        parentIsDialog = box->parentWidget() == expectedParent;
        QAbstractButton *button = box->button(answerWith);
        // A box without the wanted button is closed all the same, so that the
        // test goes on to fail on what it saw instead of hanging.
        if (answerWith == QMessageBox::NoButton || !button)
            QTest::keyClick(box, Qt::Key_Escape);
        else
            button->click();
    }

    const QWidget *expectedParent;
    QMessageBox::StandardButton answerWith;
    QTimer timer;
};

// Answers every modal message box in turn with the next of `answers` (OK
// once they run out) and keeps each one's icon and text, for a run that
// may show more than one; `whenShown` runs as each box is seen, before it
// is answered.
class SeenBoxes
{
public:
    explicit SeenBoxes(QList<QMessageBox::StandardButton> answers,
                       std::function<void()> whenShown = {})
        : answers(std::move(answers)), whenShown(std::move(whenShown))
    {
        timer.setInterval(20);
        QObject::connect(&timer, &QTimer::timeout, [this] { answer(); });
        timer.start();
    }
    QList<QMessageBox::Icon> icons;
    QStringList texts;
    QList<QMessageBox::StandardButton> defaultButtons;

private:
    void answer()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || box == last)
            return;
        last = box;
        icons << box->icon();
        texts << box->text();
        defaultButtons << box->standardButton(box->defaultButton());
        if (whenShown)
            whenShown();
        const QMessageBox::StandardButton with =
            answers.isEmpty() ? QMessageBox::Ok : answers.takeFirst();
        if (QAbstractButton *button = box->button(with))
            button->click();
        else
            QTest::keyClick(box, Qt::Key_Escape);
    }

    QList<QMessageBox::StandardButton> answers;
    std::function<void()> whenShown;
    QPointer<QMessageBox> last;
    QTimer timer;
};

} // namespace testbox
