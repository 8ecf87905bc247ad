// Shared by every test: an isolated home, temp and config, the stand-ins
// first on PATH, and small helpers for files and archives.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

namespace testenv {

// Set up before QApplication exists: Qt reads some of these only once.
struct IsolatedEnvironment
{
    QTemporaryDir root;

    IsolatedEnvironment()
    {
        if (!root.isValid())
            qFatal("cannot create the isolated test root: %s", qPrintable(root.errorString()));
        const QString base = root.path();
        // The home lies in a folder of profiles, as C:\Users\u and /home/u do,
        // so that "another user's profile" is a folder beside it.
        const char *folders[][2] = {
            {"HOME", "users/u"},
            {"XDG_CONFIG_HOME", "users/u/.config"},
            {"XDG_DATA_HOME", "users/u/.local/share"},
            {"XDG_CACHE_HOME", "users/u/.cache"},
            {"XDG_STATE_HOME", "users/u/.local/state"},
            {"XDG_RUNTIME_DIR", "runtime"},
            {"TMPDIR", "tmp"},
            {"LOCALAPPDATA", "users/u/AppData/Local"},
        };
        for (const auto &folder : folders) {
            const QString path = base + QLatin1Char('/') + QLatin1String(folder[1]);
            QDir().mkpath(path);
            qputenv(folder[0], QFile::encodeName(path));
        }
        QFile::setPermissions(base + QLatin1String("/runtime"), QFileDevice::ReadOwner |
                                                                    QFileDevice::WriteOwner |
                                                                    QFileDevice::ExeOwner);
        qputenv("XDG_DATA_DIRS", QFile::encodeName(base + QLatin1String("/shared")));
        qputenv("XDG_CONFIG_DIRS", QFile::encodeName(base + QLatin1String("/shared-config")));
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        // The stand-ins, or (TAMBRIX_PLATFORM_DIR) the folder whose powershell
        // hands the scripts to real PowerShell.
        const QByteArray platform = qEnvironmentVariableIsEmpty("TAMBRIX_PLATFORM_DIR")
                                        ? QByteArray(TAMBRIX_PLATFORM_BIN)
                                        : qgetenv("TAMBRIX_PLATFORM_DIR");
        qputenv("PATH", platform + ':' + qgetenv("PATH"));
    }

    QString home() const { return root.path() + QLatin1String("/users/u"); }
    QString temp() const { return root.path() + QLatin1String("/tmp"); }
};

inline IsolatedEnvironment &environment()
{
    static IsolatedEnvironment isolated;
    return isolated;
}

// Constructed before main, so before the application object.
[[maybe_unused]] static const bool isolatedBeforeMain = (environment(), true);

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable: ") + QFile::encodeName(path) + '>';
    return file.readAll();
}

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size() && file.flush();
}

inline QByteArray sha256Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// Zips the contents of a folder with the system's zip program (entries are
// relative to the folder, hidden files included, symlinks stored as links).
inline bool zipFolder(const QString &folder, const QString &zipPath, QString *output = nullptr)
{
    QFile::remove(zipPath);
    QProcess zip;
    zip.setWorkingDirectory(folder);
    zip.setProcessChannelMode(QProcess::MergedChannels);
    zip.start(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-r"),
                                      QStringLiteral("-y"), zipPath, QStringLiteral(".")});
    const bool ok = zip.waitForFinished(60000) && zip.exitStatus() == QProcess::NormalExit &&
                    zip.exitCode() == 0;
    if (output)
        *output = QString::fromLocal8Bit(zip.readAll());
    return ok;
}

// Every entry below a folder, hidden ones included: relative path -> content.
// Folders end in "/", symbolic links read "-> target".
inline QMap<QString, QByteArray> treeOf(const QString &folder)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        const QString relative = QDir(folder).relativeFilePath(it.filePath());
        if (it.fileInfo().isSymLink())
            tree.insert(relative, "-> " + QFile::encodeName(it.fileInfo().symLinkTarget()));
        else if (it.fileInfo().isDir())
            tree.insert(relative + QLatin1Char('/'), QByteArray());
        else
            tree.insert(relative, readAll(it.filePath()));
    }
    return tree;
}

// Puts a shell script of the test's own first on PATH under the given
// program name, for the lifetime of the object.
class FakeProgram
{
public:
    FakeProgram(const QString &folder, const QString &name, const QByteArray &shellScript)
        : savedPath(qgetenv("PATH"))
    {
        QDir().mkpath(folder);
        const QString path = folder + QLatin1Char('/') + name;
        ok = writeFile(path, "#!/bin/sh\n" + shellScript + '\n') &&
             QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("PATH", QFile::encodeName(folder) + ':' + savedPath);
    }
    ~FakeProgram() { qputenv("PATH", savedPath); }
    FakeProgram(const FakeProgram &) = delete;
    FakeProgram &operator=(const FakeProgram &) = delete;
    bool ok = false;

private:
    QByteArray savedPath;
};

// Folder names users really have, and text that would do harm if a script
// ever ran it instead of taking it as part of a path. One column, "name".
inline void addHostileNameRows()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QStringLiteral("plain");
    QTest::newRow("apostrophe") << QStringLiteral("Team's Apps");
    QTest::newRow("right single quote") << QStringLiteral("O’Brien");
    QTest::newRow("all typographic quotes") << QStringLiteral("‘a’ ‚b‛");
    QTest::newRow("placeholders") << QStringLiteral("%1 %2 %3");
    QTest::newRow("env variable") << QStringLiteral("$env:HOME");
    QTest::newRow("subexpression") << QStringLiteral("$(Remove-Item x)");
    QTest::newRow("semicolon") << QStringLiteral("a; Remove-Item b");
    QTest::newRow("brackets") << QStringLiteral("My [Apps] y[1]");
    QTest::newRow("spaces") << QStringLiteral("  two  spaces ");
    QTest::newRow("cyrillic") << QStringLiteral("Программы");
    QTest::newRow("doubled quotes already") << QStringLiteral("a''b");
}

} // namespace testenv
