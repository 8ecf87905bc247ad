// The installer window: initial state, busy state, the failure display, the
// default folder and the placement arithmetic.
#include "testenv.h"

#include "installer.h"
#include "messagebox.h"
#include <QFrame>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <QAccessible>
#include <QApplication>
#include <QImageReader>

#include <cmath>

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void initialState();
    void styleSheetRules_data();
    void styleSheetRules();
    void lineAndLayout();
    void busyState();
    void failTwice();
    void escapeIgnoredWhileBusy();
    void defaultFolder_data();
    void defaultFolder();
    void centring_data();
    void centring();
    void icons_data();
    void icons();
    void headerIcon();
    void accessibleNames();
    void progressValue_data();
    void progressValue();
    void looks_data();
    void looks();
    void detailLine_data();
    void detailLine();
};

namespace {

// The WCAG relative luminance of a pixel, and the contrast of two.
double luminance(QRgb pixel)
{
    const auto channel = [](int c) {
        const double v = c / 255.0;
        return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(pixel)) + 0.7152 * channel(qGreen(pixel)) +
           0.0722 * channel(qBlue(pixel));
}

double contrast(QRgb a, QRgb b)
{
    const double la = luminance(a), lb = luminance(b);
    return (qMax(la, lb) + 0.05) / (qMin(la, lb) + 0.05);
}

// How many pixels of two pictures of one control differ by 3 : 1 or more.
int pixelsApart(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return -1;
    int n = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            n += contrast(a.pixel(x, y), b.pixel(x, y)) >= 3.0;
    return n;
}

// The control as it is painted in its window (the sheet's background
// included).
QImage picture(QWidget *window, QWidget *control)
{
    return window->grab(QRect(control->mapTo(window, QPoint()), control->size()))
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

} // namespace

void tst_Window::initialState()
{
    SetupDialog dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Tambrix Setup"));
    QCOMPARE(dialog.objectName(), QStringLiteral("setupOverlay"));
    QCOMPARE(int(dialog.windowFlags()), 0x803);
    QVERIFY(dialog.testAttribute(Qt::WA_StyledBackground));
    QVERIFY(dialog.isModal());
    QCOMPARE(dialog.minimumSize(), QSize(460, 320));
    QCOMPARE(dialog.maximumSize(), QSize(460, 320));

    QCOMPARE(dialog.updVersion->objectName(), QStringLiteral("updVersion"));
    QCOMPARE(dialog.updVersion->text(), QStringLiteral("Установка"));
    QCOMPARE(dialog.updStatus->text(),
             QStringLiteral("Установка последней версии Tambrix Desktop"));
    QVERIFY(dialog.updStatus->wordWrap());
    QVERIFY(dialog.updDetail->text().isEmpty());
    QCOMPARE(dialog.startMenuBox->text(), QStringLiteral("Ярлык в меню «Пуск»"));
    QCOMPARE(dialog.desktopBox->text(), QStringLiteral("Ярлык на рабочем столе"));
    QVERIFY(dialog.startMenuBox->isChecked());
    QVERIFY(dialog.desktopBox->isChecked());
    QCOMPARE(dialog.updNow->text(), QStringLiteral("Установить"));
    QCOMPARE(dialog.updLater->text(), QStringLiteral("Отмена"));
    QVERIFY(dialog.updNow->isDefault());
    QCOMPARE(dialog.updNow->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(dialog.updLater->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(dialog.updBar->minimum(), 0);
    QCOMPARE(dialog.updBar->maximum(), 100);
    QCOMPARE(dialog.updBar->value(), 0);
    QCOMPARE(dialog.updBar->height(), 10);
    QVERIFY(!dialog.updBar->isTextVisible());
    QCOMPARE(dialog.expectedSize, qint64(0));
    QVERIFY(!dialog.speedTimer.isValid());

    const QStringList names = {
        QStringLiteral("updBrand"),  QStringLiteral("updVersion"), QStringLiteral("updStatus"),
        QStringLiteral("updDetail"), QStringLiteral("fieldLabel"), QStringLiteral("pathEdit"),
        QStringLiteral("updBar"),    QStringLiteral("updNow"),     QStringLiteral("updLater")};
    for (const QString &name : names)
        QVERIFY2(dialog.findChild<QWidget *>(name), qPrintable(name));
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("updBrand"))->text(),
             QStringLiteral("Tambrix"));
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("fieldLabel"))->text(),
             QStringLiteral("Папка установки"));

    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QVERIFY(!dialog.updBar->isVisible());
    QVERIFY(!dialog.updDetail->isVisible());
    for (QWidget *w :
         {static_cast<QWidget *>(dialog.pathEdit), static_cast<QWidget *>(dialog.startMenuBox),
          static_cast<QWidget *>(dialog.desktopBox), static_cast<QWidget *>(dialog.updNow),
          static_cast<QWidget *>(dialog.updLater)})
        QVERIFY2(w->isEnabled(), qPrintable(w->objectName()));
    // Hidden widgets take no space: the stretch above the buttons takes the
    // free height, so the buttons sit on the bottom margin.
    QVERIFY(dialog.updNow->geometry().bottom() >= 320 - 18 - 2);
    QVERIFY(dialog.updNow->geometry().top() - dialog.desktopBox->geometry().bottom() > 40);
    QCOMPARE(dialog.updNow->geometry().right(), 460 - 22 - 1);
    QCOMPARE(dialog.pathEdit->geometry().left(), 22);
}

void tst_Window::styleSheetRules_data()
{
    QTest::addColumn<QString>("selector");
    QTest::addColumn<QString>("declarations");
    const char *const rules[][2] = {
        {"QDialog#setupOverlay", "background: #09091a; border: 1px solid rgba(139,92,246,0.32); "
                                 "border-radius: 14px;"},
        {"QLabel#updBrand", "color: #ffffff; font-size: 16px; font-weight: 800; letter-spacing: "
                            "0.3px; background: transparent;"},
        {"QLabel#updVersion",
         "color: rgba(196,181,253,0.85); font-size: 12px; font-weight: 600; background: "
         "transparent;"},
        {"QLabel#updStatus", "color: rgba(255,255,255,0.78); font-size: 13px; background: "
                             "transparent;"},
        {"QLabel#updDetail", "color: rgba(255,255,255,0.42); font-size: 11px; background: "
                             "transparent;"},
        {"QLabel#fieldLabel", "color: rgba(255,255,255,0.55); font-size: 11px; background: "
                              "transparent;"},
        {"QLineEdit#pathEdit",
         "background: rgba(255,255,255,0.05); border: 1px solid rgba(139,92,246,0.22); "
         "border-radius: 8px; padding: 8px 10px; color: rgba(255,255,255,0.90); font-size: 12px; "
         "selection-background-color: #5865f2;"},
        {"QCheckBox", "color: rgba(255,255,255,0.75); font-size: 12px; spacing: 8px; background: "
                      "transparent;"},
        {"QCheckBox::indicator",
         "width: 16px; height: 16px; border: 1px solid rgba(139,92,246,0.40); border-radius: 4px; "
         "background: rgba(255,255,255,0.04);"},
        {"QCheckBox::indicator:checked", "background: #8b5cf6; border-color: #8b5cf6;"},
        {"QProgressBar#updBar",
         "background: rgba(255,255,255,0.06); border: 1px solid rgba(139,92,246,0.18); "
         "border-radius: 5px; height: 10px; text-align: center;"},
        {"QProgressBar#updBar::chunk", "background: qlineargradient(x1:0,y1:0,x2:1,y2:0, stop:0 "
                                       "#8b5cf6, stop:1 #5865f2); border-radius: 4px;"},
        {"QPushButton#updNow",
         "background: qlineargradient(x1:0,y1:0,x2:1,y2:0, stop:0 #8b5cf6, stop:1 #5865f2); "
         "color: #ffffff; border: none; border-radius: 8px; padding: 9px 18px; font-size: 12px; "
         "font-weight: 700;"},
        {"QPushButton#updNow:hover", "background: #7c4fe0;"},
        {"QPushButton#updNow:pressed", "background: #6d42c7;"},
        {"QPushButton#updNow:disabled",
         "background: rgba(139,92,246,0.25); color: rgba(255,255,255,0.40);"},
        {"QPushButton#updLater",
         "background: rgba(255,255,255,0.06); color: rgba(255,255,255,0.72); border: 1px solid "
         "rgba(139,92,246,0.22); border-radius: 8px; padding: 9px 18px; font-size: 12px; "
         "font-weight: 600;"},
        {"QPushButton#updLater:hover", "background: rgba(255,255,255,0.10); color: #ffffff;"},
    };
    int index = 0;
    for (const auto &rule : rules)
        QTest::addRow("%d %s", ++index, rule[0])
            << QString::fromLatin1(rule[0]) << QString::fromLatin1(rule[1]);
}

// Each of the 18 rules, in its place and word for word (the focus rings and
// disabled looks after them are judged by how they look: looks()).
void tst_Window::styleSheetRules()
{
    QFETCH(QString, selector);
    QFETCH(QString, declarations);
    const QString sheet = SetupDialog().styleSheet();
    QStringList rules = sheet.split(QLatin1Char('}'), Qt::SkipEmptyParts);
    QVERIFY(rules.size() >= 18);
    const int index =
        QString::fromLatin1(QTest::currentDataTag()).section(QLatin1Char(' '), 0, 0).toInt() - 1;
    const QString rule = rules.at(index).trimmed();
    QCOMPARE(rule.section(QLatin1String(" {"), 0, 0), selector);
    QCOMPARE(rule.section(QLatin1String("{ "), 1).trimmed(), declarations);
}

// The gradient line under the header and the layout's measures.
void tst_Window::lineAndLayout()
{
    SetupDialog dialog;
    QFrame *line = nullptr;
    for (QFrame *frame : dialog.findChildren<QFrame *>(Qt::FindDirectChildrenOnly)) {
        if (frame->metaObject() == &QFrame::staticMetaObject)
            line = frame;
    }
    QVERIFY(line);
    QCOMPARE(line->frameShape(), QFrame::NoFrame);
    QCOMPARE(line->minimumHeight(), 2);
    QCOMPARE(line->maximumHeight(), 2);
    QCOMPARE(line->styleSheet(),
             QStringLiteral("background: qlineargradient(x1:0,y1:0,x2:1,y2:0,  stop:0 #8b5cf6, "
                            "stop:0.55 #5865f2, stop:1 rgba(6,182,212,0.55));border: none; "
                            "border-radius: 1px;"));

    auto *root = qobject_cast<QVBoxLayout *>(dialog.layout());
    QVERIFY(root);
    QCOMPARE(root->contentsMargins(), QMargins(22, 18, 22, 18));
    QCOMPARE(root->spacing(), 10);
    QCOMPARE(root->count(), 11);
    auto *header = qobject_cast<QHBoxLayout *>(root->itemAt(0)->layout());
    auto *buttons = qobject_cast<QHBoxLayout *>(root->itemAt(10)->layout());
    QVERIFY(header && buttons);
    QCOMPARE(header->spacing(), 10);
    QCOMPARE(buttons->spacing(), 10);
    QCOMPARE(root->itemAt(1)->widget(), line);
    QVERIFY(root->itemAt(9)->spacerItem());
    QCOMPARE(root->stretch(9), 0);
    // Header: icon, brand, stretch, version; all but the stretch centred
    // vertically.
    QCOMPARE(header->count(), 4);
    QVERIFY(header->itemAt(2)->spacerItem());
    QCOMPARE(header->stretch(2), 0);
    for (const int i : {0, 1, 3}) {
        QCOMPARE(header->itemAt(i)->alignment(), Qt::Alignment(Qt::AlignVCenter));
        QCOMPARE(header->stretch(i), 0);
    }
    QCOMPARE(header->itemAt(1)->widget()->objectName(), QStringLiteral("updBrand"));
    QCOMPARE(header->itemAt(3)->widget(), dialog.updVersion);
    for (int i = 1; i <= 8; ++i)
        QCOMPARE(root->itemAt(i)->alignment(), Qt::Alignment());
    QCOMPARE(buttons->itemAt(0)->widget(), dialog.updLater);
    QVERIFY(buttons->itemAt(1)->spacerItem());
    QCOMPARE(buttons->itemAt(2)->widget(), dialog.updNow);
}

void tst_Window::busyState()
{
    SetupDialog dialog;
    dialog.show();
    dialog.enterBusyState();
    for (QWidget *w :
         {static_cast<QWidget *>(dialog.pathEdit), static_cast<QWidget *>(dialog.startMenuBox),
          static_cast<QWidget *>(dialog.desktopBox), static_cast<QWidget *>(dialog.updNow),
          static_cast<QWidget *>(dialog.updLater)})
        QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    QVERIFY(dialog.updBar->isVisible());
    QVERIFY(dialog.updDetail->isVisible());
}

void tst_Window::failTwice()
{
    SetupDialog dialog;
    dialog.show();
    dialog.enterBusyState();
    dialog.updBar->setRange(0, 1000);
    dialog.updBar->setValue(400);

    const QStringList messages = {
        QStringLiteral("Ошибка загрузки: Host not found"),
        QStringLiteral("Контрольная сумма не совпала. Попробуйте ещё раз.")};
    for (const QString &message : messages) {
        dialog.enterBusyState();
        testbox::SeenBox seen(&dialog);
        dialog.fail(message);
        QCOMPARE(seen.title, QStringLiteral("Tambrix Setup"));
        QCOMPARE(seen.text, message);
        QCOMPARE(seen.icon, QMessageBox::Critical);
        QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(seen.parentIsDialog);

        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Ошибка установки"));
        QCOMPARE(dialog.updDetail->text(), message);
        QVERIFY(dialog.updDetail->isVisible());
        QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
        QVERIFY(dialog.updNow->isEnabled());
        QVERIFY(dialog.updLater->isEnabled());
        QVERIFY(dialog.pathEdit->isEnabled());
        QVERIFY(dialog.startMenuBox->isEnabled());
        QVERIFY(dialog.desktopBox->isEnabled());
        // The last progress stays on screen.
        QVERIFY(dialog.updBar->isVisible());
        QCOMPARE(dialog.updBar->maximum(), 1000);
        QCOMPARE(dialog.updBar->value(), 400);
    }
}

void tst_Window::escapeIgnoredWhileBusy()
{
    SetupDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.enterBusyState();
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected)); // untouched default
    dialog.reject();
    QVERIFY(dialog.isVisible());

    // Once the run has failed, Escape closes the window like Cancel.
    testbox::SeenBox seen(&dialog);
    dialog.fail(QStringLiteral("x"));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
}

void tst_Window::defaultFolder_data()
{
    QTest::addColumn<QByteArray>("localAppData");
    QTest::addColumn<bool>("set");
    QTest::addColumn<QString>("expected");
#ifdef Q_OS_WIN
    QTest::newRow("windows-style") << QByteArray("C:\\Users\\user\\AppData\\Local") << true
                                   << QStringLiteral("C:/Users/user/AppData/Local/Tambrix");
#else
    // A backslash is an ordinary file-name character here; only Windows
    // turns it into a separator.
    QTest::newRow("windows-style") << QByteArray("C:\\Users\\user\\AppData\\Local") << true
                                   << QStringLiteral("C:\\Users\\user\\AppData\\Local/Tambrix");
#endif
    QTest::newRow("windows forward slashes")
        << QByteArray("C:/Users/user/AppData/Local") << true
        << QStringLiteral("C:/Users/user/AppData/Local/Tambrix");
    QTest::newRow("forward slashes")
        << QByteArray("/home/u/Local/") << true << QStringLiteral("/home/u/Local/Tambrix");
    QTest::newRow("cyrillic") << QByteArray("C:/Users/Иван/AppData/Local") << true
                              << QStringLiteral("C:/Users/Иван/AppData/Local/Tambrix");
    const QString generic = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                            QLatin1String("/Tambrix");
    QTest::newRow("empty") << QByteArray() << true << generic;
    QTest::newRow("unset") << QByteArray() << false << generic;
}

void tst_Window::defaultFolder()
{
    QFETCH(QByteArray, localAppData);
    QFETCH(bool, set);
    QFETCH(QString, expected);
    const QByteArray saved = qgetenv("LOCALAPPDATA");
    if (set)
        qputenv("LOCALAPPDATA", localAppData);
    else
        qunsetenv("LOCALAPPDATA");
    SetupDialog dialog;
    qputenv("LOCALAPPDATA", saved);
    QCOMPARE(dialog.pathEdit->text(), expected);
    QVERIFY(expected.startsWith(QLatin1Char('/')) || expected.startsWith(QLatin1String("C:")));
    if (!set || localAppData.isEmpty())
        QVERIFY2(expected.startsWith(testenv::environment().root.path()),
                 "the generic data location must come from the isolated XDG_DATA_HOME");
}

void tst_Window::centring_data()
{
    QTest::addColumn<QRect>("available");
    QTest::addColumn<QPoint>("topLeft");
    QTest::newRow("1920x1040") << QRect(0, 0, 1920, 1040) << QPoint(729, 359);
    QTest::newRow("1366x728 odd") << QRect(0, 0, 1366, 728) << QPoint(452, 203);
    QTest::newRow("second screen offset") << QRect(1920, 40, 1280, 984) << QPoint(2329, 371);
    QTest::newRow("negative origin") << QRect(-1280, 0, 1280, 1024) << QPoint(-870, 351);
    QTest::newRow("smaller than window") << QRect(0, 0, 400, 300) << QPoint(-31, -11);
}

void tst_Window::centring()
{
    QFETCH(QRect, available);
    QFETCH(QPoint, topLeft);
    QCOMPARE(centredTopLeft(available, QSize(460, 320)), topLeft);
}

void tst_Window::icons_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("side");
    QTest::newRow("header") << QStringLiteral(":/app_icon_64.png") << 64;
    QTest::newRow("application") << QStringLiteral(":/app_icon_256.png") << 256;
}

// The icons are read without format detection; they must come out exactly as
// an icon made the ordinary, detecting way from the same resource.
void tst_Window::icons()
{
    QFETCH(QString, path);
    QFETCH(int, side);
    QCOMPARE(QImageReader::imageFormat(path), QByteArray("png"));
    const QImage decoded(path);
    QCOMPARE(decoded.size(), QSize(side, side));
    QVERIFY(decoded.hasAlphaChannel());

    const QIcon icon = pngIcon(path);
    const QIcon detected(path);
    QCOMPARE(icon.availableSizes(), QList<QSize>{QSize(side, side)});
    QCOMPARE(icon.availableSizes(), detected.availableSizes());
    for (const int size : {side, 48, 28, 16}) {
        const QImage actual = icon.pixmap(QSize(size, size)).toImage();
        QCOMPARE(actual.size(), QSize(size, size));
        QCOMPARE(actual, detected.pixmap(QSize(size, size)).toImage());
    }
}

void tst_Window::headerIcon()
{
    SetupDialog dialog;
    QLabel *iconLabel = nullptr;
    for (QLabel *label : dialog.findChildren<QLabel *>()) {
        if (!label->pixmap().isNull()) {
            QVERIFY2(!iconLabel, "more than one label shows a picture");
            iconLabel = label;
        }
    }
    QVERIFY(iconLabel);
    QCOMPARE(iconLabel->minimumSize(), QSize(28, 28));
    QCOMPARE(iconLabel->maximumSize(), QSize(28, 28));
    QCOMPARE(iconLabel->styleSheet(), QStringLiteral("background:transparent;"));
    QVERIFY(iconLabel->text().isEmpty());
    const QImage expected = QIcon(QStringLiteral(":/app_icon_64.png"))
                                .pixmap(QSize(28, 28), QIcon::Normal, QIcon::Off)
                                .toImage();
    QCOMPARE(expected.size(), QSize(28, 28));
    QCOMPARE(iconLabel->pixmap().toImage(), expected);
}

// What a screen reader calls the controls: every one that can take focus
// has a name (the folder field its caption's, tied to it), the bar is a
// named progress bar, and the header's decoration is passed over.
void tst_Window::accessibleNames()
{
    SetupDialog dialog;
    dialog.show();
    dialog.updBar->show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const auto accessible = [&](const char *name) {
        return QAccessible::queryAccessibleInterface(
            dialog.findChild<QWidget *>(QLatin1String(name)));
    };
    for (QWidget *widget : dialog.findChildren<QWidget *>()) {
        if (widget->focusPolicy() != Qt::NoFocus)
            QVERIFY2(
                !QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name).isEmpty(),
                qPrintable(widget->objectName()));
    }
    QCOMPARE(accessible("pathEdit")->text(QAccessible::Name), QStringLiteral("Папка установки"));
    QCOMPARE(dialog.findChild<QLabel *>(QStringLiteral("fieldLabel"))->buddy(), dialog.pathEdit);
    QCOMPARE(accessible("updBar")->text(QAccessible::Name), QStringLiteral("Ход установки"));
    QCOMPARE(accessible("updBar")->role(), QAccessible::ProgressBar);
    QVERIFY(accessible("updIcon")->state().invisible);
    QVERIFY(accessible("updLine")->state().invisible);
}

// The bar counts bytes; what assistive technology reads is the share done.
void tst_Window::progressValue_data()
{
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("text");
    QTest::newRow("nothing yet") << 50000000 << 0 << 0 << QStringLiteral("0%");
    QTest::newRow("one byte short is not done")
        << 50000000 << 49999999 << 99 << QStringLiteral("99%");
    QTest::newRow("all of a capped total")
        << 2147483647 << 2147483647 << 100 << QStringLiteral("100%");
    QTest::newRow("unknown size: a busy bar") << 0 << 0 << 0 << QString();
}

void tst_Window::progressValue()
{
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(int, percent);
    QFETCH(QString, text);
    SetupDialog dialog;
    dialog.updBar->setRange(0, maximum);
    dialog.updBar->setValue(value);
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(dialog.updBar);
    QVERIFY(iface && iface->valueInterface());
    QCOMPARE(iface->valueInterface()->currentValue().toInt(), percent);
    QCOMPARE(iface->valueInterface()->maximumValue().toInt(), maximum > 0 ? 100 : 0);
    QCOMPARE(iface->text(QAccessible::Value), text);
}

// Focus and the disabled state show: enough of the control changes by at
// least 3 : 1 (a ring round a button, field or box, a bar's outline, a
// label's strokes). The row with no change expected: what nobody has
// focused looks exactly as with the window's first 18 rules alone, the
// progress and detail line shown.
void tst_Window::looks_data()
{
    QTest::addColumn<QString>("object");
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("least");
    QTest::newRow("Install focused") << QStringLiteral("updNow") << QStringLiteral("focus") << -2;
    QTest::newRow("Cancel focused") << QStringLiteral("updLater") << QStringLiteral("focus") << -2;
    QTest::newRow("field focused") << QStringLiteral("pathEdit") << QStringLiteral("focus") << -2;
    QTest::newRow("checked box focused")
        << QStringLiteral("startMenuBox") << QStringLiteral("focus") << 60;
    QTest::newRow("bar focused") << QStringLiteral("updBar") << QStringLiteral("focus") << -1;
    QTest::newRow("Cancel disabled")
        << QStringLiteral("updLater") << QStringLiteral("disabled") << 40;
    QTest::newRow("field disabled")
        << QStringLiteral("pathEdit") << QStringLiteral("disabled") << 100;
    QTest::newRow("checked box disabled")
        << QStringLiteral("startMenuBox") << QStringLiteral("disabled") << 150;
    QTest::newRow("clear box disabled")
        << QStringLiteral("desktopBox") << QStringLiteral("disabled unchecked") << 100;
    QTest::newRow("nothing focused")
        << QStringLiteral("setupOverlay") << QStringLiteral("same progress") << 0;
}

void tst_Window::looks()
{
    QFETCH(QString, object);
    QFETCH(QString, state);
    QFETCH(int, least);
    SetupDialog dialog;
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    QWidget *widget = object == dialog.objectName() ? &dialog : dialog.findChild<QWidget *>(object);
    QVERIFY(widget);
    if (state.endsWith(QLatin1String("unchecked")))
        dialog.desktopBox->setChecked(false);
    if (state.endsWith(QLatin1String("progress"))) {
        dialog.updBar->setRange(0, 1000);
        dialog.updBar->setValue(400);
        dialog.updBar->show();
        dialog.updDetail->setText(QStringLiteral("19.1 MB / 47.7 MB · 3.77 MB/s"));
        dialog.updDetail->show();
    }
    if (object == QLatin1String("updBar"))
        dialog.updBar->show();
    // A text that fits: a long one scrolls to the cursor when focused.
    if (object == QLatin1String("pathEdit"))
        dialog.pathEdit->setText(QStringLiteral("C:/Apps/Tambrix"));
    if (QWidget *focused = QApplication::focusWidget())
        focused->clearFocus();
    QTRY_VERIFY(!QApplication::focusWidget());

    if (state.startsWith(QLatin1String("same"))) {
        // The same window with only the first 18 rules of its sheet and a
        // plain label for the detail line.
        SetupDialog plain;
        const QStringList rules = plain.styleSheet().split(QLatin1Char('}'));
        plain.setStyleSheet(rules.mid(0, 18).join(QLatin1Char('}')) + QLatin1Char('}'));
        auto *plainDetail = new QLabel(&plain);
        plainDetail->setObjectName(QStringLiteral("updDetail"));
        plainDetail->hide();
        delete plain.layout()->replaceWidget(plain.updDetail, plainDetail);
        delete plain.updDetail;
        plain.updDetail = plainDetail;
        plain.move(dialog.pos() + QPoint(0, 400));
        plain.show();
        QVERIFY(QTest::qWaitForWindowExposed(&plain));
        plain.updBar->setRange(0, 1000);
        plain.updBar->setValue(400);
        plain.updBar->show();
        plain.updDetail->setText(dialog.updDetail->text());
        plain.updDetail->show();
        // Neither with a control focused.
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        for (SetupDialog *window : {&dialog, &plain})
            if (QWidget *focused = window->focusWidget())
                focused->clearFocus();
        QTRY_VERIFY(!QApplication::focusWidget());
        QCOMPARE(dialog.grab().toImage(), plain.grab().toImage());
        return;
    }

    const QImage normal = picture(&dialog, widget);
    if (state.startsWith(QLatin1String("focus"))) {
        // (Not by Tab: that would also select the field's text.)
        widget->setFocus(Qt::OtherFocusReason);
        QTRY_COMPARE(QApplication::focusWidget(), widget);
    } else {
        widget->setEnabled(false);
    }
    const QImage changed = picture(&dialog, widget);
    // -2: a 2-pixel ring all round; -1: a 1-pixel one.
    const int perimeter = 2 * (widget->width() + widget->height());
    const int needed = least == -2 ? perimeter : least == -1 ? perimeter / 2 : least;
    const int apart = pixelsApart(normal, changed);
    QVERIFY2(apart >= needed,
             qPrintable(QStringLiteral("%1 pixels 3:1 apart, %2 needed").arg(apart).arg(needed)));
}

// A message longer than the one line the window has for it ends in "…"
// there; the tooltip and the accessible description hold it whole.
void tst_Window::detailLine_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("cut");
    QTest::newRow("a short failure")
        << QStringLiteral("Контрольная сумма не совпала. Попробуйте ещё раз.") << false;
    QTest::newRow("the longest failure")
        << QStringLiteral("Ошибка загрузки: рабочую папку C:\\Users\\Константин "
                          "Константинопольский\\AppData\\Local\\Temp\\TambrixSetup создал "
                          "другой пользователь (или в неё могут писать другие), и установщик ей "
                          "не доверяет. Попросите администратора удалить её или укажите в "
                          "переменных TEMP и TMP свою папку.")
        << true;
    QTest::newRow("every warning at the finish")
        << QStringLiteral("v1.4.2 → C:/Users/u/AppData/Local/Tambrix\nВнимание: ярлык в меню "
                          "«Пуск» не создан: COM error; ярлык на рабочем столе не создан: COM "
                          "error; Uninstall.cmd не записан, программы не будет в списке "
                          "установленных")
        << true;
    // Short enough for the width, but two lines for one line of room.
    QTest::newRow("a short text of two lines")
        << QStringLiteral("v1.4.2 → C:/Apps\nВнимание: ярлык не создан") << true;
}

void tst_Window::detailLine()
{
    QFETCH(QString, message);
    QFETCH(bool, cut);
    SetupDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.enterBusyState();
    dialog.showFailure(message);
    dialog.grab(); // lays out and paints the line
    auto *line = static_cast<DetailLabel *>(dialog.updDetail);
    QCOMPARE(line->text(), message);
    bool wasCut = false;
    const QString shown = line->shownText(&wasCut);
    QCOMPARE(wasCut, cut);
    QCOMPARE(line->toolTip(), cut ? message : QString());
    QCOMPARE(line->accessibleDescription(), cut ? message : QString());
    // One whole line inside the window: nothing cut at a side, the top or
    // the bottom.
    QVERIFY(line->height() >= line->fontMetrics().height());
    QVERIFY(line->geometry().bottom() < dialog.updNow->geometry().top());
    QVERIFY2(line->fontMetrics().horizontalAdvance(shown) <= line->contentsRect().width(),
             qPrintable(shown));
    // Its lines joined when they fit the width, cut with "…" when not.
    const QString joined = QString(message).replace(QLatin1Char('\n'), QLatin1Char(' '));
    if (!cut)
        QCOMPARE(shown, message);
    else if (line->fontMetrics().horizontalAdvance(joined) <= line->contentsRect().width())
        QCOMPARE(shown, joined);
    else
        QVERIFY2(shown.endsWith(QChar(0x2026)), qPrintable(shown));
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
