// The installer window: initial state, busy state, the failure display, the
// default folder and the placement arithmetic.
#include "testenv.h"

#include "installer.h"
#include "messagebox.h"

#include <QApplication>
#include <QImageReader>

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void initialState();
    void styleSheetRules();
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
};

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

void tst_Window::styleSheetRules()
{
    SetupDialog dialog;
    const QString sheet = dialog.styleSheet();
    QCOMPARE(sheet.count(QLatin1Char('{')), 18);
    const QStringList selectors = {QStringLiteral("QDialog#setupOverlay"),
                                   QStringLiteral("QLabel#updBrand"),
                                   QStringLiteral("QLabel#updVersion"),
                                   QStringLiteral("QLabel#updStatus"),
                                   QStringLiteral("QLabel#updDetail"),
                                   QStringLiteral("QLabel#fieldLabel"),
                                   QStringLiteral("QLineEdit#pathEdit"),
                                   QStringLiteral("QCheckBox"),
                                   QStringLiteral("QCheckBox::indicator"),
                                   QStringLiteral("QCheckBox::indicator:checked"),
                                   QStringLiteral("QProgressBar#updBar"),
                                   QStringLiteral("QProgressBar#updBar::chunk"),
                                   QStringLiteral("QPushButton#updNow"),
                                   QStringLiteral("QPushButton#updNow:hover"),
                                   QStringLiteral("QPushButton#updNow:pressed"),
                                   QStringLiteral("QPushButton#updNow:disabled"),
                                   QStringLiteral("QPushButton#updLater"),
                                   QStringLiteral("QPushButton#updLater:hover")};
    qsizetype from = 0;
    for (const QString &selector : selectors) {
        const qsizetype at = sheet.indexOf(selector + QLatin1Char(' '), from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("rule missing or out of order: ") + selector));
        from = sheet.indexOf(QLatin1Char('}'), at);
    }
    QVERIFY(sheet.contains(QStringLiteral(
        "QDialog#setupOverlay { background: #09091a; border: 1px solid rgba(139,92,246,0.32); "
        "border-radius: 14px; }")));
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

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
