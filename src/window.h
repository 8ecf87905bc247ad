// The installer window: one frameless, dark, fixed-size dialog, its busy and
// failure states and the download progress display.
#pragma once

#include "accessibility.h"
#include "product.h"
#include "sizes.h"
#include "stagetimes.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFrame>
#include <QHBoxLayout>
#include <QIcon>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRect>
#include <QStandardPaths>
#include <QString>
#include <QStyle>
#include <QVBoxLayout>
#include <QtGlobal>

#include <cmath>
#include <functional>

namespace {

struct Manifest;
class InstallHold;

constexpr int dialogWidth = 460;
constexpr int dialogHeight = 320;

const char *const setupStyleSheet =
    "QDialog#setupOverlay { background: #09091a; border: 1px solid rgba(139,92,246,0.32); "
    "border-radius: 14px; }"
    "QLabel#updBrand { color: #ffffff; font-size: 16px; font-weight: 800; letter-spacing: 0.3px; "
    "background: transparent; }"
    "QLabel#updVersion { color: rgba(196,181,253,0.85); font-size: 12px; font-weight: 600; "
    "background: transparent; }"
    "QLabel#updStatus { color: rgba(255,255,255,0.78); font-size: 13px; background: transparent; }"
    "QLabel#updDetail { color: rgba(255,255,255,0.42); font-size: 11px; background: transparent; }"
    "QLabel#fieldLabel { color: rgba(255,255,255,0.55); font-size: 11px; background: transparent; "
    "}"
    "QLineEdit#pathEdit { background: rgba(255,255,255,0.05); border: 1px solid "
    "rgba(139,92,246,0.22); border-radius: 8px; padding: 8px 10px; color: "
    "rgba(255,255,255,0.90); font-size: 12px; selection-background-color: #5865f2; }"
    "QCheckBox { color: rgba(255,255,255,0.75); font-size: 12px; spacing: 8px; background: "
    "transparent; }"
    "QCheckBox::indicator { width: 16px; height: 16px; border: 1px solid rgba(139,92,246,0.40); "
    "border-radius: 4px; background: rgba(255,255,255,0.04); }"
    "QCheckBox::indicator:checked { background: #8b5cf6; border-color: #8b5cf6; }"
    "QProgressBar#updBar { background: rgba(255,255,255,0.06); border: 1px solid "
    "rgba(139,92,246,0.18); border-radius: 5px; height: 10px; text-align: center; }"
    "QProgressBar#updBar::chunk { background: qlineargradient(x1:0,y1:0,x2:1,y2:0, stop:0 "
    "#8b5cf6, stop:1 #5865f2); border-radius: 4px; }"
    "QPushButton#updNow { background: qlineargradient(x1:0,y1:0,x2:1,y2:0, stop:0 #8b5cf6, "
    "stop:1 #5865f2); color: #ffffff; border: none; border-radius: 8px; padding: 9px 18px; "
    "font-size: 12px; font-weight: 700; }"
    "QPushButton#updNow:hover { background: #7c4fe0; }"
    "QPushButton#updNow:pressed { background: #6d42c7; }"
    "QPushButton#updNow:disabled { background: rgba(139,92,246,0.25); color: "
    "rgba(255,255,255,0.40); }"
    "QPushButton#updLater { background: rgba(255,255,255,0.06); color: rgba(255,255,255,0.72); "
    "border: 1px solid rgba(139,92,246,0.22); border-radius: 8px; padding: 9px 18px; font-size: "
    "12px; font-weight: 600; }"
    "QPushButton#updLater:hover { background: rgba(255,255,255,0.10); color: #ffffff; }"
    // Where the keyboard is: a ring in the place of the border, the padding
    // narrowed by as much, so that nothing moves when focus arrives.
    "QPushButton#updNow:focus { border: 2px solid #ffffff; padding: 7px 16px; }"
    "QPushButton#updLater:focus { border: 2px solid #ffffff; padding: 8px 17px; }"
    "QLineEdit#pathEdit:focus { border: 2px solid #c4b5fd; padding: 7px 9px; }"
    "QCheckBox::indicator:focus { border: 2px solid #ffffff; width: 14px; height: 14px; }"
    "QProgressBar#updBar:focus { border: 1px solid #c4b5fd; }"
    // While an installation runs these do nothing, and look it.
    "QPushButton#updLater:disabled { background: transparent; color: rgba(255,255,255,0.28); "
    "border-color: rgba(139,92,246,0.12); }"
    "QLineEdit#pathEdit:disabled { background: transparent; color: rgba(255,255,255,0.32); "
    "border-color: rgba(139,92,246,0.12); }"
    "QCheckBox:disabled { color: rgba(255,255,255,0.30); }"
    "QCheckBox::indicator:disabled { border-color: rgba(139,92,246,0.15); background: "
    "transparent; }"
    "QCheckBox::indicator:checked:disabled { background: rgba(139,92,246,0.30); border-color: "
    "rgba(139,92,246,0.30); }";

// The detail line has room for one line, and a failure can take three.
// What does not fit ends in "…", and the whole text goes to the tooltip and
// the accessible description, where a mouse or a screen reader finds it;
// text() stays the whole message.
class DetailLabel : public QLabel
{
public:
    explicit DetailLabel(QWidget *parent) : QLabel(parent) {}

    // One line high, however long the text: the window's height is fixed,
    // and a taller request only squeezes the controls above.
    QSize sizeHint() const override { return {0, fontMetrics().height()}; }
    QSize minimumSizeHint() const override { return sizeHint(); }

    // What the line shows at its present width (line breaks read as blanks).
    QString shownText(bool *cut = nullptr) const
    {
        QString flat = text();
        flat.replace(QLatin1Char('\n'), QLatin1Char(' '));
        const QString shown =
            fontMetrics().elidedText(flat, Qt::ElideRight, contentsRect().width());
        if (cut)
            *cut = shown != text();
        return shown;
    }

protected:
    void paintEvent(QPaintEvent *event) override
    {
        bool cut = false;
        const QString shown = shownText(&cut);
        const QString whole = cut ? text() : QString();
        if (toolTip() != whole)
            setToolTip(whole);
        if (accessibleDescription() != whole)
            setAccessibleDescription(whole);
        if (!cut) {
            QLabel::paintEvent(event);
            return;
        }
        QPainter painter(this);
        drawFrame(&painter);
        style()->drawItemText(&painter, contentsRect(), Qt::AlignLeft | Qt::AlignVCenter, palette(),
                              isEnabled(), shown, foregroundRole());
    }
};

// The icons are read as PNG with format detection off, so the image reader
// goes straight to its built-in decoder. Left to detect (even when told the
// format), it first loads every image-format plugin on the system and asks
// each whether it wants the file: about a millisecond of start-up, half of
// what loading the icon costs.
QIcon pngIcon(const QString &resourcePath)
{
    QImageReader reader(resourcePath, "png");
    reader.setAutoDetectImageFormat(false);
    return QIcon(QPixmap::fromImage(reader.read()));
}

// Where start-up puts the window: centre of the available area minus half the
// window. The sums are 64-bit so huge virtual desktops cannot overflow.
QPoint centredTopLeft(const QRect &available, const QSize &window)
{
    const qint64 centreX = (qint64(available.left()) + available.right()) / 2;
    const qint64 centreY = (qint64(available.top()) + available.bottom()) / 2;
    return QPoint(int(centreX - window.width() / 2), int(centreY - window.height() / 2));
}

#ifdef TAMBRIX_TEST_SEAMS
// Lets the unit tests feed the speed estimate exact sample intervals, and see
// each text the progress display shows, even those the next one replaces
// before a paint.
qint64 testSpeedElapsedMs = -1;
std::function<void(const QString &)> testProgressShown;
#endif

qint64 speedSampleElapsed(const QElapsedTimer &timer)
{
#ifdef TAMBRIX_TEST_SEAMS
    if (testSpeedElapsedMs >= 0)
        return testSpeedElapsedMs;
#endif
    return timer.elapsed();
}

QString formatSpeed(double bytesPerSecond)
{
    if (!(bytesPerSecond > 0) || !std::isfinite(bytesPerSecond))
        return QStringLiteral("—");
    const double k = bytesPerSecond / 1024;
    if (k < 1024)
        return QStringLiteral("%1 KB/s").arg(QString::number(k, 'f', k < 100 ? 1 : 0));
    const double m = k / 1024;
    const int decimals = m >= 100 ? 0 : (m >= 10 ? 1 : 2);
    return QStringLiteral("%1 MB/s").arg(QString::number(m, 'f', decimals));
}

class SetupDialog : public QDialog
{
public:
    SetupDialog();
    ~SetupDialog() override = default;

    void fail(const QString &message);
    // The failed state without the message box: for a run the user stopped.
    void showFailure(const QString &message);
    void startDownloadProgress(qint64 expected);
    void setDownloadProgress(qint64 received, qint64 total);
    bool fetchManifest(Manifest &manifest, QString &error);
    bool downloadToFile(const Manifest &manifest, const QString &filePath, QString &error);
    void startInstall();

    // The stages of startInstall (install.h), in order; each false with the
    // message it leaves in `error`, or having asked the user.
    bool mayStart(const QString &typed, InstallHold &hold, QList<qint64> &agreedToEnd);
    bool obtainPackage(const Manifest &manifest, const QString &packageFile, QString &error);
    bool mayEndRunningApp(QList<qint64> &agreedToEnd);
    QStringList integrate(const QString &installFolder, const QString &version);
    void finish(const QString &installFolder, const QString &version, const QStringList &warnings);

    // While a run is under way a rejection (Escape, Alt+F4) would hide the
    // window and leave the installation running unseen; ignore it then.
    void reject() override
    {
        if (!updNow->isEnabled())
            return;
        QDialog::reject();
    }

    QLabel *updVersion = nullptr;
    QLabel *updStatus = nullptr;
    QLabel *updDetail = nullptr;
    QLineEdit *pathEdit = nullptr;
    QCheckBox *startMenuBox = nullptr;
    QCheckBox *desktopBox = nullptr;
    QProgressBar *updBar = nullptr;
    QPushButton *updNow = nullptr;
    QPushButton *updLater = nullptr;

    // The status line's new text, also told to a screen reader.
    void setStatus(const QString &text);

    qint64 expectedSize = 0;
    QElapsedTimer speedTimer;
    qint64 lastBytes = 0;
    double bytesPerSecond = 0.0;

    void enterBusyState();

private:
    void addHeader(QVBoxLayout *root);
    void addButtons(QVBoxLayout *root);
};

// The window's top: the icon, the name, the version and the coloured line.
void SetupDialog::addHeader(QVBoxLayout *root)
{
    auto *header = new QHBoxLayout;
    header->setSpacing(10);
    auto *iconLabel = new QLabel(this);
    iconLabel->setObjectName(QStringLiteral("updIcon"));
    iconLabel->setFixedSize(28, 28);
    iconLabel->setPixmap(pngIcon(QStringLiteral(":/app_icon_64.png"))
                             .pixmap(QSize(28, 28), QIcon::Normal, QIcon::Off));
    iconLabel->setStyleSheet(QStringLiteral("background:transparent;"));
    auto *brand = new QLabel(QStringLiteral("Tambrix"), this);
    brand->setObjectName(QStringLiteral("updBrand"));
    updVersion = new QLabel(QStringLiteral("Установка"), this);
    updVersion->setObjectName(QStringLiteral("updVersion"));
    header->addWidget(iconLabel, 0, Qt::AlignVCenter);
    header->addWidget(brand, 0, Qt::AlignVCenter);
    header->addStretch(0);
    header->addWidget(updVersion, 0, Qt::AlignVCenter);
    root->addLayout(header);

    auto *line = new QFrame(this);
    line->setObjectName(QStringLiteral("updLine"));
    line->setFrameShape(QFrame::NoFrame);
    line->setFixedHeight(2);
    line->setStyleSheet(QStringLiteral(
        "background: qlineargradient(x1:0,y1:0,x2:1,y2:0,  stop:0 #8b5cf6, stop:0.55 #5865f2, "
        "stop:1 rgba(6,182,212,0.55));border: none; border-radius: 1px;"));
    root->addWidget(line);
}

// «Отмена» and «Установить», the default.
void SetupDialog::addButtons(QVBoxLayout *root)
{
    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(10);
    updLater = new QPushButton(QStringLiteral("Отмена"), this);
    updLater->setObjectName(QStringLiteral("updLater"));
    updLater->setCursor(Qt::PointingHandCursor);
    updNow = new QPushButton(QStringLiteral("Установить"), this);
    updNow->setObjectName(QStringLiteral("updNow"));
    updNow->setCursor(Qt::PointingHandCursor);
    updNow->setDefault(true);
    buttons->addWidget(updLater);
    buttons->addStretch();
    buttons->addWidget(updNow);
    root->addLayout(buttons);
}

SetupDialog::SetupDialog()
{
    QAccessible::installFactory(setupAccessibleFactory);
    setWindowTitle(QStringLiteral("Tambrix Setup"));
    setObjectName(QStringLiteral("setupOverlay"));
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_StyledBackground, true);
    setModal(true);
    setFixedSize(dialogWidth, dialogHeight);
    setStyleSheet(QString::fromLatin1(setupStyleSheet));

    auto *root = new QVBoxLayout(this);
    root->setContentsMargins(22, 18, 22, 18);
    root->setSpacing(10);

    addHeader(root);

    updStatus = new QLabel(QStringLiteral("Установка последней версии Tambrix Desktop"), this);
    updStatus->setObjectName(QStringLiteral("updStatus"));
    updStatus->setWordWrap(true);
    root->addWidget(updStatus);

    auto *fieldLabel = new QLabel(QStringLiteral("Папка установки"), this);
    fieldLabel->setObjectName(QStringLiteral("fieldLabel"));
    root->addWidget(fieldLabel);

    pathEdit = new QLineEdit(defaultInstallFolder(), this);
    pathEdit->setObjectName(QStringLiteral("pathEdit"));
    fieldLabel->setBuddy(pathEdit);
    pathEdit->setAccessibleName(fieldLabel->text());
    root->addWidget(pathEdit);

    startMenuBox = new QCheckBox(QStringLiteral("Ярлык в меню «Пуск»"), this);
    startMenuBox->setObjectName(QStringLiteral("startMenuBox"));
    startMenuBox->setChecked(true);
    root->addWidget(startMenuBox);

    desktopBox = new QCheckBox(QStringLiteral("Ярлык на рабочем столе"), this);
    desktopBox->setObjectName(QStringLiteral("desktopBox"));
    desktopBox->setChecked(true);
    root->addWidget(desktopBox);

    updBar = new QProgressBar(this);
    updBar->setObjectName(QStringLiteral("updBar"));
    updBar->setTextVisible(false);
    updBar->setFixedHeight(10);
    updBar->setRange(0, 100);
    updBar->setValue(0);
    updBar->setAccessibleName(QStringLiteral("Ход установки"));
    // Focused only while busy (see enterBusyState), never a Tab stop.
    updBar->setFocusPolicy(Qt::NoFocus);
    updBar->hide();
    root->addWidget(updBar);

    updDetail = new DetailLabel(this);
    updDetail->setObjectName(QStringLiteral("updDetail"));
    updDetail->hide();
    root->addWidget(updDetail);

    root->addStretch(0);

    addButtons(root);

    connect(updLater, &QPushButton::clicked, this, &QDialog::reject);
    connect(updNow, &QPushButton::clicked, this, &SetupDialog::startInstall);
}

void SetupDialog::setStatus(const QString &text)
{
    updStatus->setText(text);
    // Only a run changes the status, and while it runs the bar has focus.
    announce(updBar, text);
}

void SetupDialog::enterBusyState()
{
    // Focus goes to the bar before the controls are disabled, or it would
    // be pushed from one to the next and land on nothing. A screen reader
    // says its name and share when it arrives; the stages are announced
    // (see setStatus).
    updBar->show();
    updBar->setFocus(Qt::OtherFocusReason);
    pathEdit->setEnabled(false);
    startMenuBox->setEnabled(false);
    desktopBox->setEnabled(false);
    updNow->setEnabled(false);
    updLater->setEnabled(false);
    updDetail->show();
}

void SetupDialog::fail(const QString &message)
{
    showFailure(message);
    QMessageBox::critical(this, QStringLiteral("Tambrix Setup"), message, QMessageBox::Ok,
                          QMessageBox::NoButton);
}

void SetupDialog::showFailure(const QString &message)
{
    updStatus->setText(QStringLiteral("Ошибка установки"));
    updDetail->setText(message);
    updDetail->show();
    pathEdit->setEnabled(true);
    startMenuBox->setEnabled(true);
    desktopBox->setEnabled(true);
    updNow->setEnabled(true);
    updLater->setEnabled(true);
    updNow->setText(QStringLiteral("Повторить"));
    // Where the user goes next; the message box gives focus back to it.
    updNow->setFocus(Qt::OtherFocusReason);
    announce(updNow, QStringLiteral("Ошибка установки. %1").arg(message), true);
}

// A new download: no speed yet, the bar empty (busy while the size is not
// known).
void SetupDialog::startDownloadProgress(qint64 expected)
{
    expectedSize = expected;
    speedTimer.invalidate();
    lastBytes = 0;
    bytesPerSecond = 0.0;
    updBar->setRange(0, expected <= 0 ? 0 : int(qMin<qint64>(expected, 2147483647)));
    updBar->setValue(0);
}

void SetupDialog::setDownloadProgress(qint64 received, qint64 total)
{
    const qint64 effectiveTotal = total > 0 ? total : expectedSize;
    QString speedText;
    if (effectiveTotal > 0 && received >= effectiveTotal) {
        bytesPerSecond = 0;
        speedText = QStringLiteral("—");
    } else if (!speedTimer.isValid()) {
        speedTimer.start();
        lastBytes = received;
        bytesPerSecond = 0;
        speedText = QStringLiteral("—");
    } else {
        const qint64 elapsed = speedSampleElapsed(speedTimer);
        bool restarted = false;
        // Sampling at most every 500 ms keeps the figure from jumping with
        // every network packet.
        if (elapsed >= 500) {
            const qint64 delta = received - lastBytes;
            if (delta < 0) {
                speedTimer.restart();
                lastBytes = received;
                bytesPerSecond = 0;
                restarted = true;
            } else {
                const double instant = (double(delta) * 1000.0) / double(elapsed);
                bytesPerSecond =
                    bytesPerSecond <= 0 ? instant : instant * 0.35 + bytesPerSecond * 0.65;
                speedTimer.restart();
                lastBytes = received;
            }
        }
        speedText = restarted ? QStringLiteral("—") : formatSpeed(bytesPerSecond);
    }

    if (effectiveTotal <= 0) {
        updBar->setRange(0, 0);
        updDetail->setText(received <= 0
                               ? QStringLiteral("Загрузка…")
                               : QStringLiteral("%1 · %2").arg(formatBytes(received), speedText));
        return;
    }
    const int cap = int(qMin<qint64>(effectiveTotal, 2147483647));
    if (updBar->maximum() != cap)
        updBar->setRange(0, cap);
    updBar->setValue(received <= cap ? int(received) : cap);
    updDetail->setText(QStringLiteral("%1 / %2 · %3")
                           .arg(formatBytes(received), formatBytes(effectiveTotal), speedText));
#ifdef TAMBRIX_TEST_SEAMS
    if (testProgressShown)
        testProgressShown(updDetail->text());
#endif
}

#ifdef TAMBRIX_STAGE_TIMES
// Benchmark builds only: records when the window is first painted.
class FirstPaintMark : public QObject
{
public:
    explicit FirstPaintMark(QWidget *window) { window->installEventFilter(this); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            markStage("painted");
        }
        return false;
    }
};
#endif

} // namespace
