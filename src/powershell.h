// Running the Windows helpers: PowerShell scripts built from fixed templates,
// and taskkill.
#pragma once

#include "codepage.h"
#include "stagetimes.h"

#include <QEventLoop>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

#ifdef Q_OS_WIN
#include <QDir>
#include <qt_windows.h>

#include <string>
#endif

namespace {

// Started by bare name, Windows would look next to the installer (typically
// the Downloads folder) before the system folder, so a stray powershell.exe
// or taskkill.exe there would run in our place. Pin both to the system copies.
QString systemProgram(const QString &name)
{
#ifdef Q_OS_WIN
    wchar_t buffer[MAX_PATH];
    const UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    if (length > 0 && length < MAX_PATH) {
        const QString systemDir =
            QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(length)));
        const QString relative = name == QLatin1String("powershell")
                                     ? QStringLiteral("WindowsPowerShell/v1.0/powershell.exe")
                                     : name + QLatin1String(".exe");
        return QDir::toNativeSeparators(QDir(systemDir).filePath(relative));
    }
#endif
    return name;
}

// PowerShell's tokenizer ends a single-quoted string at any of these five
// characters, not only at the ASCII apostrophe, so each must be doubled.
QString escapePowerShellLiteral(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size() + 8);
    for (const QChar c : value) {
        escaped.append(c);
        const char16_t u = c.unicode();
        if (u == u'\'' || u == u'\u2018' || u == u'\u2019' || u == u'\u201A' || u == u'\u201B')
            escaped.append(c);
    }
    return escaped;
}

// Nothing ever writes to a child's standard input; it gets an empty one.
// Windows PowerShell with a redirected input that never ends can sit waiting
// on it until the run's time limit.
void giveNoInput(QProcess &process)
{
    process.setStandardInputFile(QProcess::nullDevice());
}

// Waits for a started child in a local event loop, as the network stages
// wait: the window keeps painting and answering (Windows ghosts a window
// that handles no messages for five seconds, and screen readers drop what
// was announced), while its controls stay disabled and Escape is ignored.
// True when the child ended within `limitMs` (-1: no limit).
bool waitForChild(QProcess &process, int limitMs)
{
    if (process.state() == QProcess::NotRunning)
        return process.error() != QProcess::FailedToStart;
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            loop.quit();
    });
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (limitMs >= 0)
        limit.start(limitMs);
    loop.exec();
    return process.state() == QProcess::NotRunning && process.error() != QProcess::FailedToStart;
}

// QProcess::execute, but with an empty standard input and the window alive.
int executeProgram(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    giveNoInput(process);
    process.start(program, arguments);
    if (!waitForChild(process, -1))
        return -2;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

enum class WaitFailure {
    // The run counts as failed and reports its standard error as usual.
    AsFailedRun,
    // The child is killed and the caller's fixed message is reported.
    Abort,
};

struct PowerShellRun
{
    QString script;
    int timeoutMs = 0;
    QString failureMessage; // when the child said nothing on standard error
    WaitFailure onWaitFailure = WaitFailure::AsFailedRun;
    QString abortMessage; // for WaitFailure::Abort
};

#ifdef TAMBRIX_TEST_SEAMS
// Lets the tests see the limit each run is given, and wait a thousandth of
// it, so that a helper that hangs is seen to be stopped at its own limit.
QList<int> testGivenTimeLimits;
int testTimeLimitDivisor = 1;
#endif

int waitLimit(int timeoutMs)
{
#ifdef TAMBRIX_TEST_SEAMS
    testGivenTimeLimits << timeoutMs;
    return timeoutMs / testTimeLimitDivisor;
#else
    return timeoutMs;
#endif
}

bool runPowerShell(const PowerShellRun &run, QString &error)
{
    QProcess process;
    process.setProgram(systemProgram(QStringLiteral("powershell")));
    process.setArguments({QStringLiteral("-NoProfile"), QStringLiteral("-Command"), run.script});
    giveNoInput(process);
    process.start(QIODevice::ReadWrite);
    const bool finished = waitForChild(process, waitLimit(run.timeoutMs));
    if (!finished && run.onWaitFailure == WaitFailure::Abort) {
        process.kill();
        process.waitForFinished(5000);
        error = run.abortMessage;
        return false;
    }
    // A crashed script has not done its job, whatever exit code it leaves.
    // Nor has one that reported an error: Expand-Archive, Remove-Item and
    // Copy-Item report per item and go on, and PowerShell then still exits
    // with 0, so an incomplete unpack or copy would pass for a complete one.
    const QString stderrText = decodeConsoleOutput(process.readAllStandardError()).trimmed();
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0 &&
        stderrText.isEmpty())
        return true;
    error = stderrText.isEmpty() ? run.failureMessage : stderrText;
    return false;
}

// For the scripts whose outcome is judged by what they leave on disk.
void executePowerShell(const QString &script)
{
    executeProgram(systemProgram(QStringLiteral("powershell")),
                   {QStringLiteral("-NoProfile"), QStringLiteral("-Command"), script});
}

} // namespace
