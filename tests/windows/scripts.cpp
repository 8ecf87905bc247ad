// The installer's own scripts through its own PowerShell runner (pipes and no
// window, as QProcess starts it), on paths given the Windows way; prints "ok"
// or the error the installer would show, in UTF-8. The wine run points them
// at real PowerShell and at the stand-in and compares what they leave.
// Tests only.
//
//   scripts extract ZIP DESTINATION
//   scripts copy INSTALL ROOT
//   scripts move NESTED INSTALL
#include "pipeline.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    // The installer hands Qt's spelling of its paths to the scripts.
    const QString first = QDir::fromNativeSeparators(args.at(2));
    const QString second = QDir::fromNativeSeparators(args.at(3));
    QString error;
    bool ok = true;
    if (args.at(1) == QLatin1String("extract")) {
        ok = extractZip(first, second, error);
    } else if (args.at(1) == QLatin1String("copy")) {
        PowerShellRun run;
        run.script = copyScript(first, second);
        run.timeoutMs = copyTimeoutMs;
        run.failureMessage = QStringLiteral("Не удалось скопировать файлы");
        ok = runPowerShell(run, error);
    } else if (args.at(1) == QLatin1String("move")) {
        executePowerShell(moveScript(first, second));
    } else {
        return 2;
    }
    std::printf("%s\n", ok ? "ok" : error.toUtf8().constData());
    return ok ? 0 : 1;
}
