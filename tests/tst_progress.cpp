// The progress display: byte and speed formatting, the smoothed speed, and
// what the bar and the detail line show for each kind of notification.
#include "testenv.h"

#include "installer.h"

#include <QApplication>

#include <limits>

class tst_Progress : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { testSpeedElapsedMs = -1; }
    void formatBytesTable_data();
    void formatBytesTable();
    void formatSpeedTable_data();
    void formatSpeedTable();
    void notifications_data();
    void notifications();
    void realTimeUnder500msKeepsSpeed();
};

void tst_Progress::formatBytesTable_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << qint64(0) << QStringLiteral("0.00 MB");
    QTest::newRow("1,500,000") << qint64(1500000) << QStringLiteral("1.43 MB");
    QTest::newRow("10,485,759") << qint64(10485759) << QStringLiteral("10.00 MB");
    QTest::newRow("10,485,760") << qint64(10485760) << QStringLiteral("10.0 MB");
    QTest::newRow("50,000,000") << qint64(50000000) << QStringLiteral("47.7 MB");
    QTest::newRow("104,853,000") << qint64(104853000) << QStringLiteral("100.0 MB");
    QTest::newRow("104,857,600") << qint64(104857600) << QStringLiteral("100 MB");
    QTest::newRow("157,286,400") << qint64(157286400) << QStringLiteral("150 MB");
    QTest::newRow("-1") << qint64(-1) << QString();
    QTest::newRow("8 GiB, no grouping") << qint64(8589934592) << QStringLiteral("8192 MB");
}

void tst_Progress::formatBytesTable()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QCOMPARE(formatBytes(bytes), text);
}

void tst_Progress::formatSpeedTable_data()
{
    QTest::addColumn<double>("bytesPerSecond");
    QTest::addColumn<QString>("text");
    QTest::newRow("512") << 512.0 << QStringLiteral("0.5 KB/s");
    QTest::newRow("51,200") << 51200.0 << QStringLiteral("50.0 KB/s");
    QTest::newRow("102,399") << 102399.0 << QStringLiteral("100.0 KB/s");
    QTest::newRow("102,400") << 102400.0 << QStringLiteral("100 KB/s");
    QTest::newRow("1,048,575") << 1048575.0 << QStringLiteral("1024 KB/s");
    QTest::newRow("1,048,576") << 1048576.0 << QStringLiteral("1.00 MB/s");
    QTest::newRow("10,485,760") << 10485760.0 << QStringLiteral("10.0 MB/s");
    QTest::newRow("157,286,400") << 157286400.0 << QStringLiteral("150 MB/s");
    QTest::newRow("zero") << 0.0 << QStringLiteral("—");
    QTest::newRow("negative") << -5.0 << QStringLiteral("—");
    QTest::newRow("infinite") << std::numeric_limits<double>::infinity() << QStringLiteral("—");
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN() << QStringLiteral("—");
}

void tst_Progress::formatSpeedTable()
{
    QFETCH(double, bytesPerSecond);
    QFETCH(QString, text);
    QCOMPARE(formatSpeed(bytesPerSecond), text);
}

// One notification of a download: the interval since the last sample it is
// delivered at (-1: the first of the download), and what the window shows.
struct Step
{
    qint64 elapsedMs;
    qint64 received;
    qint64 total;
    QString detail;
    int barMaximum;
    int barValue;
    double bytesPerSecond;
};
Q_DECLARE_METATYPE(QList<Step>)

void tst_Progress::notifications_data()
{
    QTest::addColumn<qint64>("expectedSize");
    QTest::addColumn<QList<Step>>("steps");

    QTest::newRow("known total, smoothing")
        << qint64(0)
        << QList<Step>{
               {-1, 0, 50000000, QStringLiteral("0.00 MB / 47.7 MB · —"), 50000000, 0, 0},
               {600, 3000000, 50000000, QStringLiteral("2.86 MB / 47.7 MB · 4.77 MB/s"), 50000000,
                3000000, 5000000},
               {499, 3500000, 50000000, QStringLiteral("3.34 MB / 47.7 MB · 4.77 MB/s"), 50000000,
                3500000, 5000000},
               {500, 4000000, 50000000, QStringLiteral("3.81 MB / 47.7 MB · 3.77 MB/s"), 50000000,
                4000000, 3950000},
               {100, 50000000, 50000000, QStringLiteral("47.7 MB / 47.7 MB · —"), 50000000,
                50000000, 0},
           };
    QTest::newRow("unknown total, no expected size")
        << qint64(0)
        << QList<Step>{
               {-1, 0, -1, QStringLiteral("Загрузка…"), 0, 0, 0},
               {1000, 12897485, -1, QStringLiteral("12.3 MB · 12.3 MB/s"), 0, 0, 12897485},
           };
    QTest::newRow("unknown total, expected size from manifest")
        << qint64(50000000)
        << QList<Step>{
               {-1, 0, -1, QStringLiteral("0.00 MB / 47.7 MB · —"), 50000000, 0, 0},
               {500, 1048576, -1, QStringLiteral("1.00 MB / 47.7 MB · 2.00 MB/s"), 50000000,
                1048576, 2097152},
           };
    QTest::newRow("more than announced")
        << qint64(0)
        << QList<Step>{
               {-1, 0, 1000, QStringLiteral("0.00 MB / 0.00 MB · —"), 1000, 0, 0},
               {100, 1500, 1000, QStringLiteral("0.00 MB / 0.00 MB · —"), 1000, 1000, 0},
           };
    QTest::newRow("count goes backwards")
        << qint64(0)
        << QList<Step>{
               {-1, 0, 10485760, QStringLiteral("0.00 MB / 10.0 MB · —"), 10485760, 0, 0},
               {1000, 5242880, 10485760, QStringLiteral("5.00 MB / 10.0 MB · 5.00 MB/s"), 10485760,
                5242880, 5242880},
               {700, 1048576, 10485760, QStringLiteral("1.00 MB / 10.0 MB · —"), 10485760, 1048576,
                0},
           };
    // After a count that goes backwards the speed is unknown once, then
    // measured from the new count: never against the old, higher one.
    QTest::newRow("backwards, then measured from the new base")
        << qint64(0)
        << QList<Step>{
               {-1, 0, 10485760, QStringLiteral("0.00 MB / 10.0 MB · —"), 10485760, 0, 0},
               {1000, 5242880, 10485760, QStringLiteral("5.00 MB / 10.0 MB · 5.00 MB/s"), 10485760,
                5242880, 5242880},
               {700, 1048576, 10485760, QStringLiteral("1.00 MB / 10.0 MB · —"), 10485760, 1048576,
                0},
               {500, 2097152, 10485760, QStringLiteral("2.00 MB / 10.0 MB · 2.00 MB/s"), 10485760,
                2097152, 2097152},
               {1000, 4194304, 10485760, QStringLiteral("4.00 MB / 10.0 MB · 2.00 MB/s"), 10485760,
                4194304, 2097152},
           };
    QTest::newRow("backwards, a quick sample, then measured from the new base")
        << qint64(0)
        << QList<Step>{
               {-1, 0, 10485760, QStringLiteral("0.00 MB / 10.0 MB · —"), 10485760, 0, 0},
               {1000, 5242880, 10485760, QStringLiteral("5.00 MB / 10.0 MB · 5.00 MB/s"), 10485760,
                5242880, 5242880},
               {600, 1048576, 10485760, QStringLiteral("1.00 MB / 10.0 MB · —"), 10485760, 1048576,
                0},
               {200, 1310720, 10485760, QStringLiteral("1.25 MB / 10.0 MB · —"), 10485760, 1310720,
                0},
               {1000, 2097152, 10485760, QStringLiteral("2.00 MB / 10.0 MB · 1.00 MB/s"), 10485760,
                2097152, 1048576},
           };
    QTest::newRow("backwards between samples, then measured from the new base")
        << qint64(0)
        << QList<Step>{
               {-1, 0, 10485760, QStringLiteral("0.00 MB / 10.0 MB · —"), 10485760, 0, 0},
               {1000, 5242880, 10485760, QStringLiteral("5.00 MB / 10.0 MB · 5.00 MB/s"), 10485760,
                5242880, 5242880},
               {300, 1048576, 10485760, QStringLiteral("1.00 MB / 10.0 MB · 5.00 MB/s"), 10485760,
                1048576, 5242880},
               {500, 2097152, 10485760, QStringLiteral("2.00 MB / 10.0 MB · —"), 10485760, 2097152,
                0},
               {500, 3145728, 10485760, QStringLiteral("3.00 MB / 10.0 MB · 2.00 MB/s"), 10485760,
                3145728, 2097152},
           };
    QTest::newRow("total above the bar's range")
        << qint64(0)
        << QList<Step>{
               {-1, 0, 3221225472, QStringLiteral("0.00 MB / 3072 MB · —"), 2147483647, 0, 0},
               {100, 2684354560, 3221225472, QStringLiteral("2560 MB / 3072 MB · —"), 2147483647,
                2147483647, 0},
           };
}

void tst_Progress::notifications()
{
    QFETCH(qint64, expectedSize);
    QFETCH(QList<Step>, steps);
    SetupDialog dialog;
    dialog.expectedSize = expectedSize;
    int index = 0;
    for (const Step &step : steps) {
        testSpeedElapsedMs = step.elapsedMs;
        dialog.setDownloadProgress(step.received, step.total);
        const QByteArray where = "step " + QByteArray::number(index++);
        QVERIFY2(dialog.speedTimer.isValid(), where);
        QCOMPARE(dialog.updDetail->text(), step.detail);
        QCOMPARE(dialog.updBar->minimum(), 0);
        QCOMPARE(dialog.updBar->maximum(), step.barMaximum);
        if (step.barMaximum > 0)
            QCOMPARE(dialog.updBar->value(), step.barValue);
        QCOMPARE(dialog.bytesPerSecond, step.bytesPerSecond);
    }
}

void tst_Progress::realTimeUnder500msKeepsSpeed()
{
    // The one test with a real clock: a notification right after a sample
    // must not start a new sample.
    SetupDialog dialog;
    dialog.setDownloadProgress(0, 100000000);
    QTest::qWait(520);
    dialog.setDownloadProgress(10000000, 100000000);
    const double first = dialog.bytesPerSecond;
    QVERIFY(first > 0);
    dialog.setDownloadProgress(60000000, 100000000);
    QCOMPARE(dialog.bytesPerSecond, first);
    QCOMPARE(dialog.lastBytes, qint64(10000000));
}

QTEST_MAIN(tst_Progress)
#include "tst_progress.moc"
