// What a screen reader is told about the installer window: the progress bar
// as a share, the header's decoration left out, and the installation's
// progress spoken as it changes.
#pragma once

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QList>
#include <QProgressBar>
#include <QString>
#include <QVariant>
#include <QWidget>
#include <QtGlobal>

namespace {

// The bar counts bytes; a listener wants to hear how much of the whole is
// done, so the value assistive technology reads is a percentage.
class ProgressAccessible : public QAccessibleWidget, public QAccessibleValueInterface
{
public:
    explicit ProgressAccessible(QWidget *bar) : QAccessibleWidget(bar, QAccessible::ProgressBar) {}

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::ValueInterface)
            return static_cast<QAccessibleValueInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Value)
            return bar()->maximum() > bar()->minimum() ? QStringLiteral("%1%").arg(percent())
                                                       : QString(); // a busy bar: no share to tell
        return QAccessibleWidget::text(t);
    }

    QVariant currentValue() const override
    {
        return bar()->maximum() > bar()->minimum() ? percent() : 0;
    }
    void setCurrentValue(const QVariant &) override {}
    QVariant maximumValue() const override { return bar()->maximum() > bar()->minimum() ? 100 : 0; }
    QVariant minimumValue() const override { return 0; }
    QVariant minimumStepSize() const override { return 1; }

private:
    const QProgressBar *bar() const { return static_cast<const QProgressBar *>(widget()); }
    int percent() const
    {
        const qint64 span = qint64(bar()->maximum()) - bar()->minimum();
        const qint64 done = qint64(bar()->value()) - bar()->minimum();
        return int(qBound(qint64(0), done * 100 / span, qint64(100)));
    }
};

// The header's icon and gradient line say nothing the brand name does not;
// marked invisible, screen readers pass over them.
class DecorationAccessible : public QAccessibleWidget
{
public:
    DecorationAccessible(QWidget *widget, QAccessible::Role role) : QAccessibleWidget(widget, role)
    {}
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.invisible = true;
        return s;
    }
};

// A notification (see announce) told as itself. Orca prefixes a
// notification inside a dialog with the dialog and every label in it (the
// status and the progress figures, as they read by then); hung below the
// application instead, it is said alone.
class NoticeAccessible : public QAccessibleWidget
{
public:
    explicit NoticeAccessible(QWidget *widget)
        : QAccessibleWidget(widget, QAccessible::Notification)
    {}
    QAccessibleInterface *parent() const override
    {
        return QAccessible::queryAccessibleInterface(QCoreApplication::instance());
    }
};

// What the window's notifications are called (see announce).
const char *const noticeName = "updNotice";

QAccessibleInterface *setupAccessibleFactory(const QString &, QObject *object)
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (!widget)
        return nullptr;
    const QString name = widget->objectName();
    if (name == QLatin1String("updBar") && qobject_cast<QProgressBar *>(widget))
        return new ProgressAccessible(widget);
    if (name == QLatin1String("updIcon"))
        return new DecorationAccessible(widget, QAccessible::Graphic);
    if (name == QLatin1String("updLine"))
        return new DecorationAccessible(widget, QAccessible::Separator);
    if (name == QLatin1String(noticeName))
        return new NoticeAccessible(widget);
    return nullptr;
}

// Tells a screen reader `text` on behalf of `speaker`, the widget that has
// focus, whatever the reader is looking at.
//
// Qt 6.8 and later have announcements: UI Automation notifications on
// Windows (NVDA and Narrator speak them; a label's changed text reaches UI
// Automation only while the label has focus), AT-SPI announcements on Linux.
// Before 6.8 a changed name or description reaches AT-SPI without its text
// (Qt sends the object where the string belongs, and Orca speaks nothing),
// but a notification that is shown is spoken by its name. So each message
// becomes an empty notification object of its own, shown once and never
// renamed: the reader asks for the name only when it gets to the event,
// which may be after the next message.
void announce(QWidget *speaker, const QString &text, bool assertive = false)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QAccessibleAnnouncementEvent event(speaker, text);
    event.setPoliteness(assertive ? QAccessible::AnnouncementPoliteness::Assertive
                                  : QAccessible::AnnouncementPoliteness::Polite);
    QAccessible::updateAccessibility(&event);
#else
    Q_UNUSED(assertive);
    QWidget *window = speaker->window();
    const QList<QWidget *> earlier =
        window->findChildren<QWidget *>(QLatin1String(noticeName), Qt::FindDirectChildrenOnly);
    // A run says a handful of things; the last few stay for a reader that is
    // behind, and only the newest is shown.
    for (qsizetype i = 0; i < earlier.size(); ++i) {
        if (i + 8 < earlier.size())
            delete earlier.at(i);
        else
            earlier.at(i)->hide();
    }
    auto *notice = new QWidget(window);
    notice->setObjectName(QLatin1String(noticeName));
    notice->setAccessibleName(text);
    notice->setAttribute(Qt::WA_TransparentForMouseEvents);
    notice->setGeometry(0, 0, 0, 0);
    notice->show();
#endif
}

} // namespace
