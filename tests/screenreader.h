// Hears what the installer tells a screen reader, in process: the
// accessibility events Qt would hand to AT-SPI or UI Automation, caught
// before they leave.
#pragma once

#include <QAccessible>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QWidget>

// Qt sends accessibility events only while an assistive technology is
// attached; the offscreen platform has none to attach, so the platform's
// accessibility is switched on by hand, as Qt's own accessibility tests do.
#include <private/qguiapplication_p.h>
#include <qpa/qplatformaccessibility.h>
#include <qpa/qplatformintegration.h>

namespace screenreader {

// What a screen reader says, as "<object>: <name>" for what takes focus,
// "said: <text>" for what is announced (Qt 6.8 and later) or shown as a
// notification (before), and "box: <text>" for a message box as it opens.
// Objects without an object name (the message box's own buttons) are left
// out.
inline QStringList &heard()
{
    static QStringList lines;
    return lines;
}

inline void listen(QAccessibleEvent *event)
{
    QObject *object = event->object();
    QAccessibleInterface *iface = event->accessibleInterface();
    switch (event->type()) {
    case QAccessible::Focus:
        if (object && !object->objectName().isEmpty())
            heard() << object->objectName() + QStringLiteral(": ") + iface->text(QAccessible::Name);
        break;
    case QAccessible::ObjectShow:
        if (iface && iface->role() == QAccessible::Notification)
            heard() << QStringLiteral("said: ") + iface->text(QAccessible::Name);
        break;
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    case QAccessible::Announcement:
        heard() << QStringLiteral("said: ") +
                       static_cast<QAccessibleAnnouncementEvent *>(event)->message();
        break;
#endif
    case QAccessible::Alert:
        if (auto *box = qobject_cast<QMessageBox *>(object))
            heard() << QStringLiteral("box: ") + box->text();
        break;
    default:
        break;
    }
}

// Listens from construction to destruction, starting with nothing heard.
class Listener
{
public:
    Listener()
    {
        heard().clear();
        if (QPlatformAccessibility *accessibility = platform())
            accessibility->setActive(true);
        QAccessible::installUpdateHandler(listen);
    }
    ~Listener()
    {
        QAccessible::installUpdateHandler(nullptr);
        if (QPlatformAccessibility *accessibility = platform())
            accessibility->setActive(false);
    }
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // False where the platform has no accessibility to switch on.
    bool valid() const { return QAccessible::isActive(); }

private:
    static QPlatformAccessibility *platform()
    {
        return QGuiApplicationPrivate::platformIntegration()->accessibility();
    }
};

} // namespace screenreader
