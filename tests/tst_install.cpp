// The install sequence behind the Install button, in process: a loopback
// HTTPS update server, real packages, the stand-ins on PATH.
#include "messagebox.h"
#include "testenv.h"
#include "testserver.h"
#include "windowsfacts.h"
#include "ziphelper.h"

#include "installer.h"
#include "screenreader.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QScopeGuard>
#include <QSslConfiguration>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using testserver::Request;
using testserver::respond;
using testserver::Server;

namespace {

// The installed "application": records where it was started.
const QByteArray launcher = "#!/bin/sh\necho \"$PWD\" >> \"$HOME/launched.txt\"\n";

QByteArray makePackage(const QString &folder, bool withExecutable = true)
{
    const QString zip = folder + QLatin1String("/built.zip");
    QList<testzip::Entry> entries{testzip::makeFile("tambrix.ico", "icon"),
                                  testzip::makeFile("lib/core.dll", QByteArray(5000, 'c'))};
    if (withExecutable)
        entries.prepend(testzip::makeFile("TambrixDesktop.exe", launcher, 0755));
    if (!testzip::write(zip, entries))
        return {};
    return testenv::readAll(zip);
}

// Records what the status and detail lines show each time the status line
// is painted, which happens at the sequence's pumps.
class PaintRecorder : public QObject
{
public:
    explicit PaintRecorder(SetupDialog *dialog) : dialog(dialog)
    {
        dialog->updStatus->installEventFilter(this);
    }
    QStringList painted;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == dialog->updStatus && event->type() == QEvent::Paint) {
            const QString seen =
                dialog->updStatus->text() + QLatin1String(" | ") + dialog->updDetail->text();
            if (painted.isEmpty() || painted.last() != seen)
                painted << seen;
        }
        return false;
    }

private:
    SetupDialog *dialog;
};

struct Seen
{
    QString status, detail, version;
    bool busy = false;
    bool barVisible = false;
};

} // namespace

// The standard folders that come from the environment on Windows, placed
// where nothing else would protect them.
static QString systemFolder(const char *name)
{
    return testenv::environment().temp() + QLatin1String("/system/") + QLatin1String(name);
}

static QString linksFolder()
{
    return testenv::environment().temp() + QLatin1String("/links");
}

// The warning for a refused folder: what is wrong, then what to do, with an
// example folder when one passes the check.
static QString refused(const QString &typed, const QString &reason, const QString &advice,
                       const QString &example)
{
    return QStringLiteral("Папка «%1» не подходит для установки: %2 %3%4")
        .arg(typed, reason, advice,
             example.isEmpty() ? QStringLiteral(".")
                               : QStringLiteral(", например «%1».").arg(example));
}

static QString refusedAsProtected(const QString &typed, const QString &example)
{
    return refused(typed,
                   QStringLiteral("при удалении программы папка установки удаляется целиком."),
                   QStringLiteral("Укажите отдельную папку"), example);
}

static QString refusedAsElsewhere(const QString &typed, const QString &opened,
                                  const QString &example)
{
    return refused(typed,
                   QStringLiteral("Windows откроет вместо неё папку «%1», а при удалении "
                                  "программы папка установки удаляется целиком.")
                       .arg(opened),
                   QStringLiteral("Укажите отдельную папку"), example);
}

static QString defaultFolder()
{
    return qEnvironmentVariable("LOCALAPPDATA") + QLatin1String("/Tambrix");
}

static QString refusedAsForeign(const QString &typed, const QString &owner)
{
    return refused(typed,
                   QStringLiteral("она находится в папке «%1», которая принадлежит Windows, "
                                  "другим программам или другому пользователю.")
                       .arg(owner),
                   QStringLiteral("Укажите папку в своём профиле"), defaultFolder());
}

// A question in the installer's style: Да and Нет, No the default and what
// Escape gives, over the window. (Its text is each caller's.)
static void verifyYesNo(const testbox::SeenBox &box)
{
    QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
    QStringList texts = box.buttonTexts;
    texts.sort();
    QCOMPARE(texts, QStringList({QStringLiteral("Да"), QStringLiteral("Нет")}));
    QCOMPARE(box.defaultButton, QMessageBox::No);
    QCOMPARE(box.escapeButton, QMessageBox::No);
    QVERIFY(box.parentIsDialog);
}

class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void emptyFolderWarns_data();
    void emptyFolderWarns();
    void protectedFoldersRefused_data();
    void protectedFoldersRefused();
    void workFolderPlaces_data();
    void workFolderPlaces();
    void windowsOnlyRefusals_data();
    void windowsOnlyRefusals();
    void protectedSpelledOtherwise_data();
    void protectedSpelledOtherwise();
    void linkedSystemFolders_data();
    void linkedSystemFolders();
    void declaredSyncRoots_data();
    void declaredSyncRoots();
    void suggestionPassesTheCheck();
    void ownFoldersAllowed_data();
    void ownFoldersAllowed();
    void ownershipQuestion_data();
    void ownershipQuestion();
    void freshInstall();
    void reuseAndRedownload();
    void reusedPackageProgress_data();
    void reusedPackageProgress();
    void closesAfterFinalTexts_data();
    void closesAfterFinalTexts();
    void checksumMismatchThenRetry();
    void fatalFailures_data();
    void fatalFailures();
    void noShortcutsWhenUnticked();
    void windowAnswersWhileHelpersWork();
    void nonFatalFailuresShownBeforeClosing();
    void registrationFailureShown();
    void whatIsHeard_data();
    void whatIsHeard();
    void unsignedManifestRefusedWithKeys();
    void wildcardTempFolder_data();
    void wildcardTempFolder();
    void runningApplication_data();
    void runningApplication();
    void workFolderLeftovers_data();
    void workFolderLeftovers();
    void oneInstallationAtATime();
    void downloadSpace_data();
    void downloadSpace();
    void anotherUsersWorkFolder_data();
    void anotherUsersWorkFolder();
    void anotherUsersInstallFolder_data();
    void anotherUsersInstallFolder();
    void startedDuringDownload_data();
    void startedDuringDownload();

private:
    void expectRefused(const QString &folder, const QString &message);
    void serve(const QByteArray &manifestJson, const QByteArray &package, int packageStatus = 200);
    QString path(const QString &relative) const
    {
        return work->path() + QLatin1Char('/') + relative;
    }
    QString workFolder() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::TempLocation) +
               QLatin1String("/TambrixSetup");
    }
    QString homeFile(const QString &relative) const
    {
        return QDir::homePath() + QLatin1Char('/') + relative;
    }
    int packageRequests() const
    {
        int n = 0;
        for (const Request &r : server->requests)
            n += r.path.startsWith("/files/");
        return n;
    }

    testserver::Pki pki;
    QScopedPointer<Server> server;
    QScopedPointer<QTemporaryDir> work;
    QByteArray package;
    SetupDialog *watched = nullptr;
    Seen atManifest, atPackage;
};

void tst_Install::initTestCase()
{
    for (const char *name : {"PUBLIC", "OneDrive", "OneDriveConsumer", "OneDriveCommercial",
                             "ProgramData", "ProgramFiles", "ProgramFiles(x86)", "SystemRoot"})
        qputenv(name, QFile::encodeName(systemFolder(name)));
    QVERIFY(QDir().mkpath(linksFolder()));
    QVERIFY(QDir().mkpath(linksFolder() + QLatin1String("/own")));
    QVERIFY(QFile::link(QDir::homePath(), linksFolder() + QLatin1String("/toHome")));
    QVERIFY(QFile::link(QFileInfo(QDir::homePath()).path(),
                        linksFolder() + QLatin1String("/toProfiles")));
    QVERIFY(QFile::link(linksFolder() + QLatin1String("/own"),
                        linksFolder() + QLatin1String("/toOwn")));

    pki = testserver::makeTrustedPki(testenv::environment().root.path() + QLatin1String("/pki"));
    QVERIFY2(pki.error.isEmpty(), qPrintable(pki.error));
}

void tst_Install::init()
{
    work.reset(new QTemporaryDir(testenv::environment().temp() + QLatin1String("/inst-XXXXXX")));
    QVERIFY(work->isValid());
    server.reset(new Server(pki.trustedCertificate, pki.trustedKey));
    testUpdateBaseUrl = server->origin();
    package = makePackage(work->path());
    QVERIFY(!package.isEmpty());
    atManifest = atPackage = Seen();
}

void tst_Install::cleanup()
{
    // Each test starts without what an earlier one installed (a link left
    // there goes as a link, and what it leads to stays).
    removeTreeNoFollow(workFolder());
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QLatin1String("/TambrixSetup"))
        .removeRecursively();
    QFile::remove(homeFile(QStringLiteral("launched.txt")));
    QFile::remove(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
                  QLatin1String("/Tambrix.lnk"));
    QFile::remove(QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
                  QLatin1String("/Tambrix.lnk"));
    watched = nullptr;
}

void tst_Install::serve(const QByteArray &manifestJson, const QByteArray &packageBytes,
                        int packageStatus)
{
    server->setHandler([this, manifestJson, packageBytes, packageStatus](QTcpSocket *socket,
                                                                         const Request &request) {
        auto seen = [this] {
            Seen s;
            if (watched) {
                s.status = watched->updStatus->text();
                s.detail = watched->updDetail->text();
                s.version = watched->updVersion->text();
                s.busy = !watched->updNow->isEnabled() && !watched->updLater->isEnabled() &&
                         !watched->pathEdit->isEnabled() && !watched->startMenuBox->isEnabled() &&
                         !watched->desktopBox->isEnabled();
                s.barVisible = watched->updBar->isVisible();
            }
            return s;
        };
        if (request.path == "/updates/desktop.json") {
            atManifest = seen();
            if (manifestJson.isEmpty())
                respond(socket, 404, "Not Found", "no manifest");
            else
                respond(socket, 200, "OK", manifestJson);
        } else {
            atPackage = seen();
            if (packageStatus == 200)
                respond(socket, 200, "OK", packageBytes);
            else
                respond(socket, packageStatus, "Not Found", "no package");
        }
    });
}

static QByteArray manifestFor(const QByteArray &packageBytes, const QByteArray &version = "1.4.2")
{
    return R"({"version":")" + version + R"(","url":"/files/TambrixDesktop-)" + version +
           R"(.zip","sha256":")" + testenv::sha256Hex(packageBytes) + R"(","size":)" +
           QByteArray::number(packageBytes.size()) + "}";
}

void tst_Install::emptyFolderWarns_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << QString();
    QTest::newRow("blanks") << QStringLiteral("  \t ");
}

void tst_Install::emptyFolderWarns()
{
    QFETCH(QString, text);
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(text);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    QCOMPARE(box.title, QStringLiteral("Tambrix"));
    QCOMPARE(box.text, QStringLiteral("Укажите папку установки."));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(box.parentIsDialog);
    QVERIFY(dialog.updNow->isEnabled());
    QVERIFY(dialog.pathEdit->isEnabled());
    QCOMPARE(dialog.updStatus->text(),
             QStringLiteral("Установка последней версии Tambrix Desktop"));
    QVERIFY(!dialog.updBar->isVisible());
    QVERIFY(server->requests.isEmpty());
}

void tst_Install::protectedFoldersRefused_data()
{
    QTest::addColumn<QString>("folder"); // as typed into the field
    QTest::addColumn<QString>("message");
    const QString home = QDir::homePath();
    const QString profiles = QFileInfo(home).path();
    const QString localAppData = qEnvironmentVariable("LOCALAPPDATA");
    const QString temp = testenv::environment().temp();
    auto location = [](QStandardPaths::StandardLocation l) {
        return QStandardPaths::writableLocation(l);
    };
    auto own = [](const QString &folder) {
        return folder + QStringLiteral("/Tambrix");
    };
    auto protectedRow = [&](const char *name, const QString &folder) {
        QTest::newRow(name) << folder << refusedAsProtected(folder, own(folder));
    };
    QTest::newRow("file-system root")
        << QStringLiteral("/")
        << refusedAsProtected(QStringLiteral("/"), QStringLiteral("/Tambrix"));
    protectedRow("home", home);
    QTest::newRow("home, trailing slash and blanks")
        << QStringLiteral("  ") + home + QStringLiteral("/  ")
        << refusedAsProtected(home + QLatin1Char('/'), own(home));
    protectedRow("desktop", location(QStandardPaths::DesktopLocation));
    protectedRow("documents", location(QStandardPaths::DocumentsLocation));
    protectedRow("downloads", location(QStandardPaths::DownloadLocation));
    protectedRow("pictures", location(QStandardPaths::PicturesLocation));
    protectedRow("music", location(QStandardPaths::MusicLocation));
    protectedRow("videos", location(QStandardPaths::MoviesLocation));
    protectedRow("config", location(QStandardPaths::GenericConfigLocation));
    protectedRow("data", location(QStandardPaths::GenericDataLocation));
    protectedRow("cache", location(QStandardPaths::GenericCacheLocation));
    protectedRow("applications", location(QStandardPaths::ApplicationsLocation));
    protectedRow("runtime", location(QStandardPaths::RuntimeLocation));
    protectedRow("temp", location(QStandardPaths::TempLocation));
    protectedRow("local app data", localAppData);
    QTest::newRow("dot-dot back to home")
        << home + QStringLiteral("/Documents/..")
        << refusedAsProtected(home + QStringLiteral("/Documents/.."), own(home));
    // Folders that hold a standard folder: wiping them wipes it too.
    QTest::newRow("profiles, holding home")
        << profiles << refusedAsProtected(profiles, defaultFolder());
    protectedRow("AppData, holding local app data", QFileInfo(localAppData).path());
    protectedRow("holds the data location",
                 QFileInfo(location(QStandardPaths::GenericDataLocation)).path());
    // Standard folders of Windows that no Qt location names.
    for (const char *name : {"Saved Games", "Favorites", "Contacts", "Links", "Searches",
                             "3D Objects", "Pictures/Screenshots", "Pictures/Camera Roll",
                             "Pictures/Saved Pictures", "Videos/Captures"})
        protectedRow(name, home + QLatin1Char('/') + QLatin1String(name));
    protectedRow("LocalLow", QFileInfo(localAppData).path() + QStringLiteral("/LocalLow"));
    protectedRow("per-user programs", localAppData + QStringLiteral("/Programs"));
    // Everyone's, the system's and other programs' folders, with everything
    // inside them.
    QTest::newRow("local Microsoft")
        << localAppData + QStringLiteral("/Microsoft")
        << refusedAsProtected(localAppData + QStringLiteral("/Microsoft"), defaultFolder());
    QTest::newRow("inside local Microsoft")
        << localAppData + QStringLiteral("/Microsoft/WindowsApps")
        << refusedAsForeign(localAppData + QStringLiteral("/Microsoft/WindowsApps"),
                            localAppData + QStringLiteral("/Microsoft"));
    const QString common = localAppData + QStringLiteral("/Programs/Common");
    QTest::newRow("inside the per-user common programs")
        << common + QStringLiteral("/Tambrix")
        << refusedAsForeign(common + QStringLiteral("/Tambrix"), common);
    // The next run removes its stage whole.
    const QString work = location(QStandardPaths::TempLocation) + QStringLiteral("/TambrixSetup");
    QTest::newRow("inside the installer's work folder")
        << work + QStringLiteral("/Tambrix")
        << refusedAsForeign(work + QStringLiteral("/Tambrix"), work);
    // And so are the work folders it takes instead: one of this user's naming
    // beside a foreign one, and one below the profile.
    const QString second = work + QLatin1Char('-') + QString::number(geteuid());
    QTest::newRow("inside the installer's second work folder")
        << second + QStringLiteral("/Tambrix")
        << refusedAsForeign(second + QStringLiteral("/Tambrix"), second);
    const QString profileWork =
        location(QStandardPaths::GenericCacheLocation) + QStringLiteral("/TambrixSetup");
    QTest::newRow("inside the work folder below the profile")
        << profileWork + QStringLiteral("/x")
        << refusedAsForeign(profileWork + QStringLiteral("/x"), profileWork);
    // Windows' own at the top of every drive.
    for (const char *name : {"$Recycle.Bin", "System Volume Information", "windows.old"}) {
        const QString typed = QStringLiteral("/%1/Users/u/Tambrix").arg(QLatin1String(name));
        QTest::newRow(name) << typed
                            << refusedAsForeign(typed, QLatin1Char('/') + QLatin1String(name));
    }
    QTest::newRow("inside app packages")
        << localAppData + QStringLiteral("/Packages/App")
        << refusedAsForeign(localAppData + QStringLiteral("/Packages/App"),
                            localAppData + QStringLiteral("/Packages"));
    for (const char *name : {"PUBLIC", "OneDrive", "OneDriveConsumer", "OneDriveCommercial",
                             "ProgramData", "ProgramFiles", "ProgramFiles(x86)", "SystemRoot"}) {
        QTest::newRow(name) << systemFolder(name)
                            << refusedAsProtected(systemFolder(name), defaultFolder());
        QTest::newRow(qPrintable(QStringLiteral("inside %1").arg(QLatin1String(name))))
            << own(systemFolder(name))
            << refusedAsForeign(own(systemFolder(name)), systemFolder(name));
    }
    QTest::newRow("holds program files")
        << QFileInfo(systemFolder("ProgramFiles")).path()
        << refusedAsProtected(QFileInfo(systemFolder("ProgramFiles")).path(),
                              own(QFileInfo(systemFolder("ProgramFiles")).path()));
    QTest::newRow("OneDrive folder of the profile, by name in other case")
        << home + QStringLiteral("/onedrive - contoso/Apps")
        << refusedAsForeign(home + QStringLiteral("/onedrive - contoso/Apps"),
                            home + QStringLiteral("/onedrive - contoso"));
    QTest::newRow("OneDrive folder of the profile, by name")
        << home + QStringLiteral("/OneDrive - Contoso/Apps")
        << refusedAsForeign(home + QStringLiteral("/OneDrive - Contoso/Apps"),
                            home + QStringLiteral("/OneDrive - Contoso"));
    QTest::newRow("another user's profile")
        << profiles + QStringLiteral("/other")
        << refusedAsForeign(profiles + QStringLiteral("/other"),
                            profiles + QStringLiteral("/other"));
    QTest::newRow("inside another user's profile")
        << profiles + QStringLiteral("/other/Documents/Apps")
        << refusedAsForeign(profiles + QStringLiteral("/other/Documents/Apps"),
                            profiles + QStringLiteral("/other"));
    // Windows compares names without case: "U" is the user's own "u".
    QTest::newRow("home in other case") << profiles + QStringLiteral("/U")
                                        << refusedAsProtected(profiles + QStringLiteral("/U"),
                                                              own(profiles + QStringLiteral("/U")));
    // What the existing part of the path leads to is what counts.
    QTest::newRow("link to home") << linksFolder() + QStringLiteral("/toHome")
                                  << refusedAsElsewhere(linksFolder() + QStringLiteral("/toHome"),
                                                        home, own(home));
    QTest::newRow("folder inside a link to home")
        << linksFolder() + QStringLiteral("/toHome/Documents")
        << refusedAsElsewhere(linksFolder() + QStringLiteral("/toHome/Documents"),
                              location(QStandardPaths::DocumentsLocation),
                              own(location(QStandardPaths::DocumentsLocation)));
    QTest::newRow("new folder behind a link to the profiles")
        << linksFolder() + QStringLiteral("/toProfiles/someone")
        << refusedAsForeign(linksFolder() + QStringLiteral("/toProfiles/someone"),
                            profiles + QStringLiteral("/someone"));

    // Spellings that readers take for different folders.
    const QString notFull =
        QStringLiteral("это не полный путь, и разные программы найдут его в разных местах.");
    const QString fullPath = QStringLiteral("Укажите полный путь, начиная с диска");
    for (const char *relative :
         {"Tambrix", "Apps/Tambrix", "./Tambrix", "../Tambrix", "~", "~/Documents", "C:", "C:/",
          "C:Tambrix", "\\Tambrix", "c;/apps/o'brien ТТТТ"})
        QTest::newRow(qPrintable(QStringLiteral("relative %1").arg(QString::fromUtf8(relative))))
            << QString::fromUtf8(relative)
            << refused(QString::fromUtf8(relative), notFull, fullPath, defaultFolder());
    const QString blank = home + QStringLiteral("/Data /x");
    for (const QString &name : {QStringLiteral("u."), QStringLiteral("Data "),
                                QStringLiteral("Games.."), QStringLiteral("x. ")}) {
        const QString typed = name == QLatin1String("u.")
                                  ? home + QLatin1Char('.')
                                  : home + QLatin1Char('/') + name + QStringLiteral("/Tambrix");
        QTest::newRow(qPrintable(QStringLiteral("trailing dot or blank: %1").arg(name)))
            << typed
            << refused(typed,
                       QStringLiteral("имя «%1» оканчивается точкой или пробелом: Windows их "
                                      "отбрасывает, и при удалении программы может быть "
                                      "удалена другая папка.")
                           .arg(name),
                       QStringLiteral("Укажите имя без точки и пробела в конце"), defaultFolder());
    }
    QTest::newRow("blank, then the current folder")
        << home + QStringLiteral("/Data /.")
        << refused(home + QStringLiteral("/Data /."),
                   QStringLiteral("имя «Data » оканчивается точкой или пробелом: Windows их "
                                  "отбрасывает, и при удалении программы может быть удалена "
                                  "другая папка."),
                   QStringLiteral("Укажите имя без точки и пробела в конце"), defaultFolder());
    QTest::newRow("share") << QStringLiteral("//server/share/Apps")
                           << refused(QStringLiteral("//server/share/Apps"),
                                      QStringLiteral("это сетевая папка или сетевой диск, а "
                                                     "программа устанавливается для одного "
                                                     "пользователя на локальный диск."),
                                      QStringLiteral("Укажите папку на локальном диске"),
                                      defaultFolder());
    const QString percent = temp + QStringLiteral("/Games/%X%");
    QTest::newRow("percent pair")
        << percent
        << refused(percent,
                   QStringLiteral("знак % в пути при удалении программы будет прочитан как "
                                  "переменная, и удалена может быть другая папка."),
                   QStringLiteral("Укажите папку без знака %"), defaultFolder());
    for (const QString &typed :
         {home + QStringLiteral("/Data/!old!"), home + QStringLiteral("/Wow!")})
        QTest::newRow(qPrintable(QStringLiteral("exclamation %1").arg(QFileInfo(typed).fileName())))
            << typed
            << refused(typed,
                       QStringLiteral("знак ! в пути при удалении программы может быть прочитан "
                                      "как переменная, и удалена может быть другая папка."),
                       QStringLiteral("Укажите папку без знака !"), defaultFolder());
    for (const QString &name :
         {QStringLiteral("Documents\uFF3C"), QStringLiteral("\uFF05TEMP\uFF05"),
          QStringLiteral("Apps\u3000x"), QStringLiteral("x\u00A5")}) {
        const QString typed = home + QLatin1Char('/') + name;
        QTest::newRow(qPrintable(QStringLiteral("code page: %1").arg(name)))
            << typed
            << refused(typed,
                       QStringLiteral("имя «%1» нельзя без искажений записать в кодовой странице "
                                      "системы, и при удалении программы может быть удалена "
                                      "другая папка.")
                           .arg(name),
                       QStringLiteral("Укажите другую папку"), defaultFolder());
    }
    const QString stream = home + QStringLiteral("::$INDEX_ALLOCATION");
    QTest::newRow("stream name of the home folder")
        << stream
        << refused(stream,
                   QStringLiteral("в имени «%1» есть символ, который Windows не допускает в "
                                  "именах (< > : \" | ? * или управляющий).")
                       .arg(QFileInfo(stream).fileName()),
                   QStringLiteral("Укажите другую папку"), defaultFolder());
    const QString device = temp + QStringLiteral("/Apps/nul.txt");
    QTest::newRow("device name")
        << device
        << refused(device, QStringLiteral("«nul.txt» — имя устройства Windows, а не папки."),
                   QStringLiteral("Укажите другую папку"), defaultFolder());
    QTest::newRow("above the root")
        << QStringLiteral("/../x")
        << refused(QStringLiteral("/../x"), QStringLiteral("«..» в пути ведёт выше корня диска."),
                   QStringLiteral("Укажите другую папку"), defaultFolder());
}

void tst_Install::protectedFoldersRefused()
{
    QFETCH(QString, folder);
    QFETCH(QString, message);
    expectRefused(folder, message);
}

// Refusals only Windows' answers give (its drive types, a failed code-page
// call, a volume that keeps no access rights): the rules are handed those
// answers as facts, and the warning is checked word for word.
void tst_Install::windowsOnlyRefusals_data()
{
    QTest::addColumn<unsigned>("driveType");    // GetDriveTypeW for F:
    QTest::addColumn<bool>("codePageAnswered"); // for the name "Apps"
    QTest::addColumn<QString>("fileSystem");    // empty: one that keeps access rights
    QTest::addColumn<QString>("message");
    const QString typed = QStringLiteral("F:/Apps/Tambrix");
    const QString local = QStringLiteral("Укажите папку на локальном диске");
    QTest::newRow("removable drive")
        << 2u << true << QString()
        << refused(typed,
                   QStringLiteral("диск F: съёмный (флешка, карта памяти или компакт-диск): при "
                                  "удалении программы под этой буквой может оказаться другой "
                                  "носитель, и его папка будет удалена."),
                   local, defaultFolder());
    QTest::newRow("unknown drive")
        << 0u << true << QString()
        << refused(typed, QStringLiteral("Windows не находит под буквой F: локального диска."),
                   local, defaultFolder());
    QTest::newRow("code page call failed")
        << 3u << false << QString()
        << refused(typed,
                   QStringLiteral("Windows не смогла проверить, как имя «Apps» будет записано в "
                                  "кодовой странице системы, а от этого зависит, какую папку "
                                  "удалит программа удаления."),
                   QStringLiteral("Укажите другую папку"), defaultFolder());
    QTest::newRow("a drive formatted exFAT")
        << 3u << true << QStringLiteral("exFAT")
        << refused(typed,
                   QStringLiteral("она на диске с файловой системой exFAT, которая не хранит "
                                  "владельцев и права доступа: любой, у кого есть доступ к этому "
                                  "диску, сможет подменить файлы программы."),
                   QStringLiteral("Укажите папку в своём профиле на системном диске"),
                   defaultFolder());
}

void tst_Install::windowsOnlyRefusals()
{
    QFETCH(unsigned, driveType);
    QFETCH(bool, codePageAnswered);
    QFETCH(QString, fileSystem);
    QFETCH(QString, message);
    const QString typed = QStringLiteral("F:/Apps/Tambrix");
    FolderFacts facts = testenv::windowsFacts(typed, testenv::windowsUser({}, {}));
    facts.driveTypes.insert(QStringLiteral("F:"), driveType);
    if (!codePageAnswered)
        facts.oemCodePage.insert(QStringLiteral("Apps"), CodePageAnswer::Unknown);
    if (!fileSystem.isEmpty())
        facts.volume = {fileSystem, false};
    QCOMPARE(refusalMessage(typed, judgeInstallFolder(typed, facts)), message);
}

// A protected folder typed in another case or with other separators is the
// very folder Windows opens: the warning names no other one.
void tst_Install::protectedSpelledOtherwise_data()
{
    QTest::addColumn<QString>("typed");
    QTest::newRow("other case") << QStringLiteral("C:/users/U");
    QTest::newRow("backslashes, a trailing one") << QStringLiteral("C:\\Users\\u\\");
}

void tst_Install::protectedSpelledOtherwise()
{
    QFETCH(QString, typed);
    FolderFacts facts = testenv::windowsFacts(typed, testenv::windowsUser({}, {}));
    // The final path spells the names as the disk keeps them.
    facts.resolved = parseWindowsPath(QStringLiteral("C:/Users/u"), QString());
    QCOMPARE(refusalMessage(typed, judgeInstallFolder(typed, facts)),
             refusedAsProtected(typed, defaultFolder()));
}

// The system names its own folders through a link while the user types the
// real path: judged by where they lead, both spellings are the same folder.
void tst_Install::linkedSystemFolders_data()
{
    QTest::addColumn<QByteArray>("variable"); // given as a link to its own value
    QTest::addColumn<QString>("typed");       // below the real folder
    QTest::addColumn<QString>("message");
    const QString home = QDir::homePath();
    const QString localAppData = qEnvironmentVariable("LOCALAPPDATA");
    const QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    QTest::newRow("TEMP") << QByteArray("TMPDIR") << temp
                          << refusedAsProtected(temp, temp + QStringLiteral("/Tambrix"));
    QTest::newRow("the profile") << QByteArray("HOME") << home
                                 << refusedAsProtected(home, home + QStringLiteral("/Tambrix"));
    QTest::newRow("LOCALAPPDATA's Programs")
        << QByteArray("LOCALAPPDATA") << localAppData + QStringLiteral("/Programs")
        << refusedAsProtected(localAppData + QStringLiteral("/Programs"),
                              localAppData + QStringLiteral("/Programs/Tambrix"));
    QTest::newRow("inside the Windows folder")
        << QByteArray("SystemRoot") << systemFolder("SystemRoot") + QStringLiteral("/Tambrix")
        << refusedAsForeign(systemFolder("SystemRoot") + QStringLiteral("/Tambrix"),
                            systemFolder("SystemRoot"));
}

void tst_Install::linkedSystemFolders()
{
    QFETCH(QByteArray, variable);
    QFETCH(QString, typed);
    QFETCH(QString, message);
    const QByteArray saved = qgetenv(variable.constData());
    const QString link = linksFolder() + QLatin1String("/system-") + QString::fromLatin1(variable);
    QFile::remove(link);
    QVERIFY(QDir().mkpath(QFile::decodeName(saved)));
    QVERIFY(QFile::link(QFile::decodeName(saved), link));
    qputenv(variable.constData(), QFile::encodeName(link));
    const auto restore = qScopeGuard([&] {
        qputenv(variable.constData(), saved);
        QFile::remove(link);
    });
    expectRefused(typed, message);
}

// The libraries a sync client syncs, as the client declares them in the
// registry (here the stand-in's), whatever their names.
void tst_Install::declaredSyncRoots_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("root"); // below the home
    QTest::newRow("a provider's mount point")
        << QStringLiteral(
               "HKEY_CURRENT_USER\\Software\\SyncEngines\\Providers\\OneDrive\\Business1")
        << QStringLiteral("MountPoint") << QStringLiteral("Contoso/Site - Documents");
    QTest::newRow("a user's sync root")
        << QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\"
                          "Explorer\\SyncRootManager\\Box!S-1-5-21-1!Account\\UserSyncRoots")
        << QStringLiteral("S-1-5-21-1") << QStringLiteral("Box");
}

void tst_Install::declaredSyncRoots()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, root);
    RegistryKey declared(key);
    declared.set(RegistryValue::string(value, QDir::toNativeSeparators(homeFile(root))));
    QVERIFY(declared.sync());
    const QString typed = homeFile(root + QStringLiteral("/Tambrix"));
    expectRefused(typed, refusedAsForeign(typed, homeFile(root)));
}

void tst_Install::expectRefused(const QString &folder, const QString &message)
{
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(folder);
    testbox::SeenBox box(&dialog);
    const QDir here = QDir::current();
    const QStringList hereBefore = here.entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    dialog.startInstall();
    QCOMPARE(box.title, QStringLiteral("Tambrix"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    QCOMPARE(box.text, message);
    QVERIFY(dialog.updNow->isEnabled());
    QVERIFY(!dialog.updBar->isVisible());
    QVERIFY(server->requests.isEmpty());
    // Nothing is made, not even next to the current folder.
    QCOMPARE(here.entryList(QDir::AllEntries | QDir::NoDotAndDotDot), hereBefore);
    QVERIFY(!QFile::exists(workFolder()));
}

// A suggested folder must pass the same check: a LOCALAPPDATA stored
// unexpanded would otherwise send the user round in a circle.
void tst_Install::suggestionPassesTheCheck()
{
    const QByteArray saved = qgetenv("LOCALAPPDATA");
    const auto restore = qScopeGuard([&] { qputenv("LOCALAPPDATA", saved); });
    const QString unexpanded = QDir::homePath() + QStringLiteral("/%USERPROFILE%/Local");
    qputenv("LOCALAPPDATA", QFile::encodeName(unexpanded));
    SetupDialog dialog;
    dialog.show();
    QCOMPARE(dialog.pathEdit->text(), unexpanded + QStringLiteral("/Tambrix"));
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    QCOMPARE(box.text,
             refused(unexpanded + QStringLiteral("/Tambrix"),
                     QStringLiteral("знак % в пути при удалении программы будет прочитан как "
                                    "переменная, и удалена может быть другая папка."),
                     QStringLiteral("Укажите папку без знака %"), QString()));
    QVERIFY(server->requests.isEmpty());
}

void tst_Install::ownFoldersAllowed_data()
{
    QTest::addColumn<QString>("folder");
    const QString home = QDir::homePath();
    QTest::newRow("default folder") << SetupDialog().pathEdit->text();
    QTest::newRow("sub-folder of home") << home + QStringLiteral("/Apps/Tambrix");
    QTest::newRow("sub-folder of documents")
        << QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
               QStringLiteral("/Tambrix");
    QTest::newRow("sub-folder of per-user programs")
        << qEnvironmentVariable("LOCALAPPDATA") + QStringLiteral("/Programs/Tambrix");
    // Only whole path components count: "DocumentsX" is not "Documents".
    QTest::newRow("name starting like a standard folder")
        << QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) +
               QStringLiteral("X");
    QTest::newRow("name starting like the profiles folder")
        << QFileInfo(home).path() + QStringLiteral("2/Tambrix");
    QTest::newRow("names that only start like devices")
        << home + QStringLiteral("/CONSOLE/COM10/Tambrix");
    QTest::newRow("brackets, apostrophes, ampersand, caret")
        << home + QStringLiteral("/Apps/O'Brien [x64] (1) & ^c");
    QTest::newRow("typographic apostrophe") << home + QStringLiteral("/O’Brien’s Apps");
    QTest::newRow("Cyrillic") << home + QStringLiteral("/Программы/Тамбрикс");
    QTest::newRow("a name merely containing OneDrive") << home + QStringLiteral("/Apps/OneDrive x");
    QTest::newRow("trailing separator and blanks around")
        << QStringLiteral(" ") + home + QStringLiteral("/Apps/Tambrix/ ");
    QTest::newRow("link to a folder of its own") << linksFolder() + QStringLiteral("/toOwn");
}

void tst_Install::ownFoldersAllowed()
{
    QFETCH(QString, folder);
    const FolderVerdict verdict = checkInstallFolder(folder.trimmed());
    QVERIFY2(verdict.kind == FolderVerdict::Kind::Fine,
             qPrintable(folder + QLatin1String(" -> ") + verdict.resolved));
}

void tst_Install::ownershipQuestion_data()
{
    QTest::addColumn<QString>("content"); // what the folder holds before
    QTest::addColumn<bool>("defaultFolder");
    QTest::addColumn<bool>("failedBefore"); // the window is in its Failed state
    QTest::addColumn<int>("answer");        // QMessageBox::NoButton: Escape
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("installs");

    const int yes = QMessageBox::Yes, no = QMessageBox::No, escape = QMessageBox::NoButton;
    QTest::newRow("missing folder") << QString() << false << false << no << false << true;
    QTest::newRow("empty folder") << QStringLiteral("/") << false << false << no << false << true;
    QTest::newRow("earlier installation: our Uninstall.cmd")
        << QStringLiteral("Uninstall.cmd=ours") << false << false << no << false << true;
    // Only our own uninstaller marks an earlier installation.
    QTest::newRow("someone's Uninstall.cmd, answered no")
        << QStringLiteral("Uninstall.cmd") << false << false << no << true << false;
    QTest::newRow("someone's Uninstall.cmd, answered yes")
        << QStringLiteral("Uninstall.cmd") << false << false << yes << true << true;
    // Exactly our 884 bytes long, one of them different: the content tells.
    QTest::newRow("our size, another byte, answered no")
        << QStringLiteral("Uninstall.cmd=ours~") << false << false << no << true << false;
    QTest::newRow("our bytes and one more, answered no")
        << QStringLiteral("Uninstall.cmd=ours+") << false << false << no << true << false;
    QTest::newRow("a folder named Uninstall.cmd, answered no")
        << QStringLiteral("Uninstall.cmd/") << false << false << no << true << false;
    QTest::newRow("an executable of that name alone, answered no")
        << QStringLiteral("TambrixDesktop.exe") << false << false << no << true << false;
    QTest::newRow("a folder that cannot be listed, answered no")
        << QStringLiteral("unreadable") << false << false << no << true << false;
    QTest::newRow("someone's files, answered no")
        << QStringLiteral("report.docx") << false << false << no << true << false;
    QTest::newRow("someone's files, escape")
        << QStringLiteral("report.docx") << false << false << escape << true << false;
    QTest::newRow("hidden file only, answered no")
        << QStringLiteral(".profile") << false << false << no << true << false;
    QTest::newRow("someone's folder, answered no")
        << QStringLiteral("Photos/") << false << false << no << true << false;
    QTest::newRow("answered no after a failure")
        << QStringLiteral("report.docx") << false << true << no << true << false;
    QTest::newRow("someone's files, answered yes")
        << QStringLiteral("report.docx") << false << false << yes << true << true;
    QTest::newRow("default folder is never asked about")
        << QStringLiteral("leftover.txt") << true << false << no << false << true;
}

void tst_Install::ownershipQuestion()
{
    QFETCH(QString, content);
    QFETCH(bool, defaultFolder);
    QFETCH(bool, failedBefore);
    QFETCH(int, answer);
    QFETCH(bool, asked);
    QFETCH(bool, installs);
    const QString install = defaultFolder ? ::defaultFolder() : path(QStringLiteral("Data"));
    if (defaultFolder)
        QDir(install).removeRecursively();
    const auto removeDefault = qScopeGuard([&] {
        if (defaultFolder)
            QDir(install).removeRecursively();
    });
    const bool unreadable = content == QLatin1String("unreadable");
    if (unreadable) {
        QVERIFY(QDir().mkpath(install));
        QVERIFY(testenv::writeFile(install + QLatin1String("/secret.txt"), "theirs"));
        QVERIFY(QFile::setPermissions(install, QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    } else if (content.startsWith(QLatin1String("Uninstall.cmd="))) {
        // What an earlier installation left: the uninstaller it wrote.
        QVERIFY(QDir().mkpath(install));
        QVERIFY(writeUninstallScript(install));
        if (content.endsWith(QLatin1Char('+'))) {
            QFile script(install + QLatin1String("/Uninstall.cmd"));
            QVERIFY(script.open(QIODevice::Append) && script.write("\r\n") == 2);
        }
        if (content.endsWith(QLatin1Char('~'))) {
            const QString script = install + QLatin1String("/Uninstall.cmd");
            QByteArray bytes = testenv::readAll(script);
            bytes[100] = char(bytes.at(100) ^ 0x20);
            QVERIFY(bytes.size() == 884 && testenv::writeFile(script, bytes));
        }
    } else if (!content.isEmpty()) {
        QVERIFY(QDir().mkpath(install));
        if (content.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(install + QLatin1Char('/') + content));
        else
            QVERIFY(testenv::writeFile(install + QLatin1Char('/') + content, "theirs"));
    }
    const auto readableAgain = qScopeGuard([&] {
        QFile::setPermissions(install, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner);
    });
    // Root reads every folder: the unlistable case then cannot be made here.
    if (unreadable && QDir(install).entryList(QDir::Files).size() > 0)
        QSKIP("running as root: a folder cannot be made unreadable");
    const QMap<QString, QByteArray> before = testenv::treeOf(install);

    SetupDialog dialog;
    dialog.show();
    if (failedBefore) {
        dialog.pathEdit->setText(path(QStringLiteral("Elsewhere")));
        serve(QByteArray(), package);
        testbox::SeenBox failure(&dialog, QMessageBox::Ok);
        dialog.startInstall();
        QCOMPARE(failure.icon, QMessageBox::Critical);
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Ошибка установки"));
    }
    dialog.pathEdit->setText(install);
    serve(manifestFor(package), package);
    const qsizetype requestsBefore = server->requests.size();
    const QString statusBefore = dialog.updStatus->text();
    const QString detailBefore = dialog.updDetail->text();
    const QString buttonBefore = dialog.updNow->text();

    testbox::SeenBox box(&dialog, QMessageBox::StandardButton(answer));
    dialog.startInstall();

    QCOMPARE(box.seen && box.icon == QMessageBox::Question, asked);
    if (asked) {
        QCOMPARE(box.title, QStringLiteral("Tambrix"));
        QCOMPARE(box.text,
                 QStringLiteral("Папка «%1» уже существует, %2, но нет прежней установки "
                                "Tambrix. Файлы и папки в ней с теми же именами, что у файлов "
                                "программы, будут сразу заменены, а при удалении программы эта "
                                "папка будет удалена целиком, со всем её содержимым.\n\n"
                                "Установить в эту папку?")
                     .arg(install, unreadable ? QStringLiteral("её содержимое не удалось прочитать")
                                              : QStringLiteral("в ней есть файлы")));
        verifyYesNo(box);
        if (QTest::currentTestFailed())
            return;
    }
    if (installs) {
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
        QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
        if (!content.isEmpty() && content != QLatin1String("/") &&
            !content.startsWith(QLatin1String("TambrixDesktop")) &&
            !content.startsWith(QLatin1String("Uninstall.cmd")))
            QVERIFY(QFile::exists(install + QLatin1Char('/') + content)); // theirs stays
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 5000);
        return;
    }
    // Back where it was, with nothing sent and nothing written.
    QCOMPARE(server->requests.size(), requestsBefore);
    QCOMPARE(testenv::treeOf(install), before);
    QCOMPARE(dialog.updStatus->text(), statusBefore);
    QCOMPARE(dialog.updDetail->text(), detailBefore);
    QCOMPARE(dialog.updNow->text(), buttonBefore);
    QVERIFY(dialog.updNow->isEnabled() && dialog.updLater->isEnabled() &&
            dialog.pathEdit->isEnabled());
    QVERIFY(!QFile::exists(workFolder()));
    QVERIFY(dialog.isVisible());
}

void tst_Install::freshInstall()
{
    serve(manifestFor(package), package);
    SetupDialog dialog;
    watched = &dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    const QString install = path(QStringLiteral("Apps/Tambrix"));
    dialog.pathEdit->setText(QStringLiteral("  ") + install + QStringLiteral("/  "));
    PaintRecorder recorder(&dialog);
    dialog.startInstall();

    // Every stage's texts were painted before its blocking step ran.
    const QStringList stages = {
        QStringLiteral("Получение информации о версии… | Подготовка…"),
        QStringLiteral("Загрузка Tambrix Desktop… | Подготовка…"),
        QStringLiteral("Проверка контрольной суммы… | SHA-256"),
        QStringLiteral("Установка… | Распаковка в ") + install,
        QStringLiteral("Готово — запускаем Tambrix… | v1.4.2 → ") + install,
    };
    qsizetype from = 0;
    for (const QString &stage : stages) {
        from = recorder.painted.indexOf(stage, from);
        QVERIFY2(from >= 0, qPrintable(stage + QLatin1String(" not painted in order: ") +
                                       recorder.painted.join(QLatin1String(" / "))));
    }

    QCOMPARE(atManifest.status, QStringLiteral("Получение информации о версии…"));
    QCOMPARE(atManifest.detail, QStringLiteral("Подготовка…"));
    QCOMPARE(atManifest.version, QStringLiteral("Установка"));
    QVERIFY(atManifest.busy);
    QVERIFY(atManifest.barVisible);
    QCOMPARE(atPackage.status, QStringLiteral("Загрузка Tambrix Desktop…"));
    QCOMPARE(atPackage.version, QStringLiteral("v1.4.2"));
    QCOMPARE(atPackage.detail, QStringLiteral("Подготовка…"));

    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(dialog.updDetail->text(), QStringLiteral("v1.4.2 → ") + install);
    QCOMPARE(dialog.updBar->maximum(), 100);
    QCOMPARE(dialog.updBar->value(), 100);
    QVERIFY(!dialog.updNow->isEnabled()); // still locked while it closes

    QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
    QCOMPARE(testenv::readAll(install + QLatin1String("/Uninstall.cmd")).size(), 884);
    QVERIFY(QFile::exists(QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
                          QLatin1String("/Tambrix.lnk")));
    QVERIFY(QFile::exists(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) +
                          QLatin1String("/Tambrix.lnk")));
    QVERIFY(QFile::exists(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                          QLatin1String("/TambrixSetup/registry/HKEY_CURRENT_USER/Software/"
                                        "Microsoft/Windows/CurrentVersion/Uninstall/Tambrix.reg")));
    QCOMPARE(testenv::readAll(workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip")), package);
    QVERIFY(!QFile::exists(workFolder() + QLatin1String("/stage-1.4.2")));

    QTRY_COMPARE(testenv::readAll(homeFile(QStringLiteral("launched.txt"))),
                 install.toUtf8() + '\n');
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 3000);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

void tst_Install::reuseAndRedownload()
{
    serve(manifestFor(package), package);
    const QString install = path(QStringLiteral("Tambrix"));
    for (int run = 0; run < 2; ++run) {
        SetupDialog dialog;
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.pathEdit->setText(install);
        PaintRecorder recorder(&dialog);
        dialog.startInstall();
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
        if (run == 1) {
            // Not downloaded, yet verified all the same.
            QVERIFY2(
                recorder.painted.contains(QStringLiteral("Проверка контрольной суммы… | SHA-256")),
                qPrintable(recorder.painted.join(QLatin1String(" / "))));
        }
    }
    QCOMPARE(packageRequests(), 1); // the second run reused the package
    QCOMPARE(server->requests.size(), 3);

    // A package of the same name with another digest is fetched again.
    const QString packageFile = workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip");
    QVERIFY(testenv::writeFile(packageFile, "stale bytes"));
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    dialog.startInstall();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(packageRequests(), 2);
    QCOMPARE(testenv::readAll(packageFile), package);
}

// A package left by an earlier run is shown as fully received: a full bar
// and "x / x · —", also when the manifest gives no size.
void tst_Install::reusedPackageProgress_data()
{
    QTest::addColumn<bool>("withSize");
    QTest::addColumn<QString>("detail"); // SIZE: the package's size in MB
    QTest::addColumn<int>("barMaximum"); // -1: the package's size in bytes
    QTest::newRow("manifest with size") << true << QStringLiteral("SIZE / SIZE · —") << -1;
    QTest::newRow("manifest without size") << false << QStringLiteral("0.00 MB / 0.00 MB · —") << 1;
}

void tst_Install::reusedPackageProgress()
{
    QFETCH(bool, withSize);
    QFETCH(QString, detail);
    QFETCH(int, barMaximum);
    detail.replace(QStringLiteral("SIZE"), formatBytes(package.size()));
    if (barMaximum < 0)
        barMaximum = int(package.size());
    QByteArray manifest = manifestFor(package);
    if (!withSize)
        manifest.replace(",\"size\":" + QByteArray::number(package.size()), "");
    QCOMPARE(manifest.contains("size"), withSize);
    serve(manifest, package);
    QVERIFY(testenv::writeFile(workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip"), package));

    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    QString seenDetail;
    int seenValue = -1, seenMaximum = -1;
    testAfterPackageReady = [&](const QString &) {
        seenDetail = dialog.updDetail->text();
        seenValue = dialog.updBar->value();
        seenMaximum = dialog.updBar->maximum();
    };
    const auto restore = qScopeGuard([] { testAfterPackageReady = nullptr; });
    dialog.startInstall();
    QCOMPARE(packageRequests(), 0);
    QCOMPARE(seenDetail, detail);
    QCOMPARE(seenMaximum, barMaximum);
    QCOMPARE(seenValue, barMaximum);
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
}

// The window accepts itself 600 ms after the final texts (not at once, not
// seconds later), also when the installed application could not be started.
void tst_Install::closesAfterFinalTexts_data()
{
    QTest::addColumn<bool>("startable");
    QTest::newRow("application started") << true;
    QTest::newRow("application cannot be started") << false;
}

void tst_Install::closesAfterFinalTexts()
{
    QFETCH(bool, startable);
    const QByteArray served = startable ? package : [this] {
        const QString zip = work->path() + QLatin1String("/noexec.zip");
        return testzip::write(zip, {testzip::makeFile("TambrixDesktop.exe", launcher, 0644)})
                   ? testenv::readAll(zip)
                   : QByteArray();
    }();
    QVERIFY(!served.isEmpty());
    serve(manifestFor(served), served);
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    QElapsedTimer sinceFinal;
    qint64 closedAfter = -1;
    QObject::connect(&dialog, &QDialog::finished, &dialog,
                     [&](int) { closedAfter = sinceFinal.isValid() ? sinceFinal.elapsed() : -2; });
    dialog.startInstall();
    sinceFinal.start();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(dialog.updDetail->text(),
             QStringLiteral("v1.4.2 → ") + path(QStringLiteral("Tambrix")));
    QTRY_VERIFY_WITH_TIMEOUT(closedAfter != -1, 10000);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY2(closedAfter >= 550 && closedAfter < 2000, qPrintable(QString::number(closedAfter)));
    if (startable)
        QTRY_VERIFY(QFile::exists(homeFile(QStringLiteral("launched.txt"))));
    else
        QVERIFY(!QFile::exists(homeFile(QStringLiteral("launched.txt"))));
}

void tst_Install::checksumMismatchThenRetry()
{
    QByteArray damaged = package;
    damaged[damaged.size() / 2] = char(damaged[damaged.size() / 2] ^ 0x55);
    serve(manifestFor(package), damaged);
    SetupDialog dialog;
    dialog.show();
    const QString install = path(QStringLiteral("Tambrix"));
    dialog.pathEdit->setText(install);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    QCOMPARE(box.text, QStringLiteral("Контрольная сумма не совпала. Попробуйте ещё раз."));
    QCOMPARE(dialog.updDetail->text(), box.text);
    QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
    QVERIFY(!QFile::exists(workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip")));
    QVERIFY(!QFile::exists(install + QLatin1String("/TambrixDesktop.exe")));

    // The server is fixed; the same button runs everything again.
    serve(manifestFor(package), package);
    dialog.updNow->click();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
    QCOMPARE(packageRequests(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 3000);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

void tst_Install::fatalFailures_data()
{
    QTest::addColumn<QByteArray>("manifest"); // "VALID": for the package served
    QTest::addColumn<int>("packageStatus");
    QTest::addColumn<bool>("withExecutable");
    QTest::addColumn<QString>("message"); // "ORIGIN" stands for the server
    QTest::addColumn<QString>("versionLabel");
    QTest::newRow("manifest missing")
        << QByteArray() << 200 << true
        << QStringLiteral("Не удалось получить manifest: Error transferring "
                          "ORIGIN/updates/desktop.json - server replied: Not Found")
        << QStringLiteral("Установка");
    QTest::newRow("manifest incomplete")
        << QByteArray(R"({"url":"/p.zip"})") << 200 << true
        << QStringLiteral("Не удалось получить manifest: Manifest неполный")
        << QStringLiteral("Установка");
    QTest::newRow("version with separators")
        << QByteArray(R"({"version":"../../1.0","url":"/p.zip"})") << 200 << true
        << QStringLiteral("Не удалось получить manifest: Manifest содержит недопустимую "
                          "версию (символы / и \\ запрещены)")
        << QStringLiteral("Установка");
    QTest::newRow("package missing")
        << QByteArray("VALID") << 404 << true
        << QStringLiteral("Ошибка загрузки: Error transferring "
                          "ORIGIN/files/TambrixDesktop-1.4.2.zip - server replied: Not Found")
        << QStringLiteral("v1.4.2");
    QTest::newRow("no executable in the package")
        << QByteArray("VALID") << 200 << false << QStringLiteral("В архиве нет TambrixDesktop.exe")
        << QStringLiteral("v1.4.2");
}

void tst_Install::fatalFailures()
{
    QFETCH(QByteArray, manifest);
    QFETCH(int, packageStatus);
    QFETCH(bool, withExecutable);
    QFETCH(QString, message);
    QFETCH(QString, versionLabel);
    const QByteArray served = withExecutable ? package : makePackage(work->path(), false);
    serve(manifest == "VALID" ? manifestFor(served) : manifest, served, packageStatus);
    message.replace(QStringLiteral("ORIGIN"), server->origin());

    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    dialog.desktopBox->setChecked(false);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    QCOMPARE(box.title, QStringLiteral("Tambrix Setup"));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, message);
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Ошибка установки"));
    QCOMPARE(dialog.updDetail->text(), message);
    QCOMPARE(dialog.updVersion->text(), versionLabel);
    QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
    QVERIFY(dialog.updNow->isEnabled() && dialog.updLater->isEnabled() &&
            dialog.pathEdit->isEnabled());
    QVERIFY(!dialog.desktopBox->isChecked()); // what the user chose is kept for the retry
    QVERIFY(dialog.isVisible());
    QVERIFY(!QFile::exists(homeFile(QStringLiteral("launched.txt"))));
}

void tst_Install::noShortcutsWhenUnticked()
{
    serve(manifestFor(package), package);
    // Records every shortcut script; the rest goes to the real stand-in.
    testenv::FakeProgram fake(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                              "case \"$3\" in *WScript.Shell*) echo \"$3\" >> \"" +
                                  QFile::encodeName(path(QStringLiteral("shortcut-runs"))) +
                                  "\"; exit 1;; esac\nexec \"" TAMBRIX_PLATFORM_BIN
                                  "/powershell\" \"$@\"");
    QVERIFY(fake.ok);
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    dialog.startMenuBox->setChecked(false);
    dialog.desktopBox->setChecked(false);
    dialog.startInstall();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(dialog.updDetail->text(),
             QStringLiteral("v1.4.2 → ") + path(QStringLiteral("Tambrix")));
    QVERIFY(!QFile::exists(path(QStringLiteral("shortcut-runs"))));
    QVERIFY(QFile::exists(path(QStringLiteral("Tambrix/Uninstall.cmd"))));
}

// While PowerShell unpacks (here a stand-in that takes its time), the
// window keeps handling events: a timer fires and the window repaints, as
// Windows requires of a window that is not to be ghosted. By the time the
// helper starts, every stage so far has been told to screen readers.
void tst_Install::windowAnswersWhileHelpersWork()
{
    serve(manifestFor(package), package);
    const QByteArray started = QFile::encodeName(path(QStringLiteral("unpack-started")));
    const QByteArray slept = QFile::encodeName(path(QStringLiteral("unpack-slept")));
    testenv::FakeProgram fake(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                              "case \"$3\" in Expand-Archive*) : > \"" + started +
                                  "\"; sleep 2; : > \"" + slept + "\";; esac\nexec \"" +
                                  TAMBRIX_PLATFORM_BIN "/powershell\" \"$@\"");
    QVERIFY(fake.ok);
    screenreader::Listener listener;
    QVERIFY(listener.valid());
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    struct PaintCounter : QObject
    {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            paints += event->type() == QEvent::Paint;
            return false;
        }
    } counter;
    dialog.updBar->installEventFilter(&counter);
    int ticks = 0, paintsBefore = -1;
    QStringList toldBefore;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, &dialog, [&] {
        if (!QFile::exists(QFile::decodeName(started)) || QFile::exists(QFile::decodeName(slept)))
            return;
        if (ticks++ == 0) {
            toldBefore = screenreader::heard();
            paintsBefore = counter.paints;
        }
        dialog.updBar->update();
    });
    timer.start(20);
    dialog.startInstall();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QVERIFY2(ticks >= 10, qPrintable(QString::number(ticks)));
    QVERIFY(counter.paints > paintsBefore && paintsBefore >= 0);
    QStringList said;
    for (const QString &line : std::as_const(toldBefore)) {
        if (line.startsWith(QLatin1String("said: ")))
            said << line.mid(6);
    }
    QCOMPARE(said, QStringList({QStringLiteral("Получение информации о версии…"),
                                QStringLiteral("Загрузка Tambrix Desktop…"),
                                QStringLiteral("Проверка контрольной суммы…"),
                                QStringLiteral("Установка…")}));
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 8000);
}

void tst_Install::nonFatalFailuresShownBeforeClosing()
{
    serve(manifestFor(package), package);
    testenv::FakeProgram fake(path(QStringLiteral("fake-bin")), QStringLiteral("powershell"),
                              "case \"$3\" in *WScript.Shell*) echo 'COM error' >&2; exit 1;; "
                              "esac\nexec \"" TAMBRIX_PLATFORM_BIN "/powershell\" \"$@\"");
    QVERIFY(fake.ok);
    // A folder where Uninstall.cmd should go: the script cannot be written
    // (and the folder is not taken for an earlier installation: asked, Yes).
    const QString install = path(QStringLiteral("Tambrix"));
    QVERIFY(QDir().mkpath(install + QLatin1String("/Uninstall.cmd")));

    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    testbox::SeenBoxes boxes({QMessageBox::Yes, QMessageBox::Ok});
    dialog.startInstall();

    const QString warnings =
        QStringLiteral("Внимание: ярлык в меню «Пуск» не создан: COM error; ярлык на рабочем "
                       "столе не создан: COM error; Uninstall.cmd не записан, программы не "
                       "будет в списке установленных");
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(dialog.updDetail->text(), QStringLiteral("v1.4.2 → %1\n").arg(install) + warnings);
    // Whole, in a box that stays until it is closed (the window's line has
    // room for one line).
    QCOMPARE(boxes.texts.size(), 2);
    QCOMPARE(boxes.icons.at(1), QMessageBox::Warning);
    QCOMPARE(boxes.texts.at(1), warnings);
    QVERIFY(!QFile::exists(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                           QLatin1String("/TambrixSetup/registry")));
    QTRY_VERIFY(QFile::exists(homeFile(QStringLiteral("launched.txt"))));
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 8000);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

// With release keys compiled in, a manifest without a valid signature stops
// the run at its first step: nothing is downloaded, Retry asks again.
void tst_Install::unsignedManifestRefusedWithKeys()
{
    server->setHandler([this](QTcpSocket *socket, const Request &request) {
        if (request.path == "/updates/desktop.json")
            respond(socket, 200, "OK", manifestFor(package));
        else
            respond(socket, 404, "Not Found", "<html/>");
    });
    testReleaseKeys = testenv::readAll(
        QStringLiteral(TAMBRIX_SOURCE_DIR "/tests/data/signing/release-key-1.pub.pem"));
    const auto noKeys = qScopeGuard([] { testReleaseKeys.clear(); });
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    const QString message =
        QStringLiteral("Не удалось получить manifest: подпись manifest не получена (Error "
                       "transferring %1/updates/desktop.json.sig - server replied: Not Found)")
            .arg(server->origin());
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, message);
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Ошибка установки"));
    QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
    QCOMPARE(packageRequests(), 0);
    QVERIFY(!QFile::exists(workFolder()));
    QVERIFY(!QFile::exists(path(QStringLiteral("Tambrix"))));
}

// The entry in the list of installed programs is what lets the user remove
// the program; a key that could not be written is said, not passed over.
void tst_Install::registrationFailureShown()
{
    serve(manifestFor(package), package);
    const QString install = path(QStringLiteral("Tambrix"));
    // A file where the key's folder has to be: the key cannot be written.
    const QString keys = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QLatin1String("/TambrixSetup");
    QVERIFY(testenv::writeFile(keys, "not a folder"));
    const auto removeKeys = qScopeGuard([&] { QFile::remove(keys); });

    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    // The program starts once the warning has been read.
    bool startedBeforeRead = true;
    testbox::SeenBoxes boxes({QMessageBox::Ok}, [&] {
        startedBeforeRead = QFile::exists(homeFile(QStringLiteral("launched.txt")));
    });
    dialog.startInstall();
    const QString warning = QStringLiteral("Внимание: программа не добавлена в список "
                                           "установленных: не удалось записать раздел реестра");
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(dialog.updDetail->text(), QStringLiteral("v1.4.2 → %1\n").arg(install) + warning);
    QCOMPARE(boxes.texts, QStringList{warning});
    QVERIFY(!startedBeforeRead);
    QCOMPARE(testenv::readAll(install + QLatin1String("/Uninstall.cmd")).size(), 884);
    QTRY_VERIFY(QFile::exists(homeFile(QStringLiteral("launched.txt"))));
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 8000);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
}

// What a screen reader user hears from Install to the end: the progress bar
// taking focus for the whole run, each stage announced; after a failure
// focus on «Повторить», where it comes back after the box, and the failure
// announced; the warnings of a finish in a box of their own.
void tst_Install::whatIsHeard_data()
{
    QTest::addColumn<QString>("run");
    QTest::addColumn<QStringList>("expected"); // MESSAGE: the failure box's text
    QTest::addColumn<QString>("focusAtEnd");
    const QStringList stages = {QStringLiteral("updBar: Ход установки"),
                                QStringLiteral("said: Получение информации о версии…"),
                                QStringLiteral("said: Загрузка Tambrix Desktop…")};
    const QStringList installing = {QStringLiteral("said: Проверка контрольной суммы…"),
                                    QStringLiteral("said: Установка…"),
                                    QStringLiteral("said: Готово — запускаем Tambrix…")};
    QTest::newRow("installed") << QStringLiteral("fine") << stages + installing
                               << QStringLiteral("updBar");
    QTest::newRow("a failed download")
        << QStringLiteral("404")
        << stages + QStringList{QStringLiteral("updNow: Повторить"),
                                QStringLiteral("said: Ошибка установки. MESSAGE"),
                                QStringLiteral("box: MESSAGE"), QStringLiteral("updNow: Повторить")}
        << QStringLiteral("updNow");
    QTest::newRow("a finish with a warning")
        << QStringLiteral("warning")
        << stages + installing +
               QStringList{QStringLiteral("box: Внимание: программа не добавлена в список "
                                          "установленных: не удалось записать раздел реестра"),
                           QStringLiteral("updBar: Ход установки")}
        << QStringLiteral("updBar");
}

void tst_Install::whatIsHeard()
{
    QFETCH(QString, run);
    QFETCH(QStringList, expected);
    QFETCH(QString, focusAtEnd);
    serve(manifestFor(package), package, run == QLatin1String("404") ? 404 : 200);
    const QString keys = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                         QLatin1String("/TambrixSetup");
    if (run == QLatin1String("warning")) // a file where the key's folder goes
        QVERIFY(testenv::writeFile(keys, "not a folder"));
    const auto removeKeys = qScopeGuard([&] { QFile::remove(keys); });

    SetupDialog dialog;
    dialog.show();
    dialog.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    dialog.updNow->setFocus();
    screenreader::Listener listener;
    QVERIFY(listener.valid());
    testbox::SeenBoxes boxes({});
    // The whole run happens inside the key press. When a box closes, the
    // window manager makes the window active again (offscreen, the test
    // does), and focus goes back to where the window left it.
    QTest::keyClick(dialog.updNow, Qt::Key_Space);
    if (!boxes.texts.isEmpty()) {
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
    }
    const auto focusName = [] {
        QWidget *focused = QApplication::focusWidget();
        return focused ? focused->objectName() : QString();
    };
    QTRY_COMPARE(focusName(), focusAtEnd);

    for (QString &line : expected)
        line.replace(QLatin1String("MESSAGE"), boxes.texts.value(0));
    QCOMPARE(screenreader::heard(), expected);
    // Each box keeps its default button, where the keyboard starts.
    for (QMessageBox::StandardButton button : boxes.defaultButtons)
        QCOMPARE(button, QMessageBox::Ok);
}

// PowerShell unpacks into a folder below TEMP through -DestinationPath,
// which it reads as a wildcard pattern: a TEMP with [ ] * ? is said before
// the download (on Windows its 8.3 form is taken first: the wine run).
void tst_Install::wildcardTempFolder_data()
{
    QTest::addColumn<QString>("tempName");
    QTest::addColumn<bool>("refused");
    QTest::newRow("user [Admin]") << QStringLiteral("[Admin]") << true;
    QTest::newRow("closing bracket") << QStringLiteral("x64]") << true;
    QTest::newRow("star") << QStringLiteral("a*b") << true;
    QTest::newRow("question mark") << QStringLiteral("who?") << true;
    QTest::newRow("quotes, braces, parentheses") << QStringLiteral("O’Brien's {1} (x64)") << false;
}

void tst_Install::wildcardTempFolder()
{
    QFETCH(QString, tempName);
    QFETCH(bool, refused);
    serve(manifestFor(package), package);
    const QString temp = path(QStringLiteral("temp/") + tempName);
    QVERIFY(QDir().mkpath(temp));
    const QByteArray savedTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temp));
    const auto restore = qScopeGuard([&] {
        QDir(temp).removeRecursively();
        qputenv("TMPDIR", savedTemp);
    });
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    dialog.desktopBox->setChecked(false);
    dialog.startMenuBox->setChecked(false);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    if (!refused) {
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
        QCOMPARE(testenv::readAll(path(QStringLiteral("Tambrix/TambrixDesktop.exe"))), launcher);
        QVERIFY(QFile::exists(temp + QLatin1String("/TambrixSetup/TambrixDesktop-1.4.2.zip")));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 3000);
        return;
    }
    const QString message =
        QStringLiteral("Временная папка %1 содержит символ [, ], * или ?: PowerShell не "
                       "распакует в неё архив. Укажите в переменных TEMP и TMP папку без этих "
                       "символов.")
            .arg(temp);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, message);
    QCOMPARE(dialog.updDetail->text(), message);
    QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
    QCOMPARE(packageRequests(), 0);
    QVERIFY(!QFile::exists(temp + QLatin1String("/TambrixSetup")));
    QVERIFY(!QFile::exists(path(QStringLiteral("Tambrix/TambrixDesktop.exe"))));
}

// A program running under the given image name, as the user's copy of the
// application would: a copy of sleep, so that its executable has that name.
class RunningCopy
{
public:
    // `home`: the HOME of the user it runs for (another test run's, say);
    // empty: this user's.
    RunningCopy(const QString &folder, const QString &imageName, const QString &home = QString())
    {
        const QString executable = folder + QLatin1Char('/') + imageName;
        if (!QDir().mkpath(folder) || !QFile::copy(QStringLiteral("/bin/sleep"), executable))
            return;
        if (!home.isEmpty()) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("HOME"), home);
            process.setProcessEnvironment(environment);
        }
        process.start(executable, {QStringLiteral("120")});
        process.waitForStarted(5000);
    }
    ~RunningCopy()
    {
        process.kill();
        process.waitForFinished(5000);
    }
    bool isRunning() const { return process.state() == QProcess::Running; }
    // Whether it was ended from outside (taskkill) rather than by this test.
    bool endedWithin(int ms)
    {
        return process.state() == QProcess::NotRunning || process.waitForFinished(ms);
    }

private:
    QProcess process;
};

// A running copy of the application is only ever ended after the user said
// so: asked before anything is downloaded, No by default.
void tst_Install::runningApplication_data()
{
    QTest::addColumn<QString>("imageName"); // what runs
    QTest::addColumn<bool>("anotherRun");   // for another user of this uid (HOME)
    QTest::addColumn<int>("answer");        // QMessageBox::NoButton: Escape
    QTest::addColumn<bool>("asked");
    QTest::addColumn<bool>("installs");
    const int yes = QMessageBox::Yes, no = QMessageBox::No, escape = QMessageBox::NoButton;
    const QString app = QStringLiteral("TambrixDesktop.exe");
    QTest::newRow("running, answered yes") << app << false << yes << true << true;
    QTest::newRow("running, answered no") << app << false << no << true << false;
    QTest::newRow("running, escape") << app << false << escape << true << false;
    // Windows compares image names without regard to case, as taskkill does.
    QTest::newRow("running in other letter case, answered no")
        << QStringLiteral("tambrixdesktop.EXE") << false << no << true << false;
    QTest::newRow("another program of a like name")
        << QStringLiteral("TambrixDesktop.exe.bak") << false << no << false << true;
    // Two runs of the tests on one machine share a uid: neither asks about,
    // nor ends, the other's copy.
    QTest::newRow("another run's copy") << app << true << no << false << true;
}

void tst_Install::runningApplication()
{
    QFETCH(QString, imageName);
    QFETCH(bool, anotherRun);
    QFETCH(int, answer);
    QFETCH(bool, asked);
    QFETCH(bool, installs);
    serve(manifestFor(package), package);
    RunningCopy running(path(QStringLiteral("running")), imageName,
                        anotherRun ? path(QStringLiteral("another-run/home")) : QString());
    QVERIFY(running.isRunning());
    const QString install = path(QStringLiteral("Tambrix"));

    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    const QString statusBefore = dialog.updStatus->text();
    testbox::SeenBox box(&dialog, QMessageBox::StandardButton(answer));
    dialog.startInstall();

    QCOMPARE(box.seen && box.icon == QMessageBox::Question, asked);
    if (asked) {
        QCOMPARE(box.title, QStringLiteral("Tambrix"));
        QCOMPARE(box.text, QStringLiteral("Tambrix Desktop сейчас запущен. Чтобы установить новую "
                                          "версию, установщик закроет его, и несохранённые "
                                          "изменения в нём будут потеряны.\n\nЗакрыть Tambrix "
                                          "Desktop и продолжить установку?"));
        verifyYesNo(box);
        if (QTest::currentTestFailed())
            return;
    }
    if (installs) {
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
        QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
        // Ended by the deployment's taskkill when it was the application.
        QCOMPARE(running.endedWithin(asked ? 5000 : 200), asked);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 5000);
        return;
    }
    QVERIFY(running.isRunning());
    QVERIFY(server->requests.isEmpty());
    QVERIFY(!QFile::exists(install));
    QVERIFY(!QFile::exists(workFolder()));
    QCOMPARE(dialog.updStatus->text(), statusBefore);
    QVERIFY(dialog.updNow->isEnabled() && dialog.updLater->isEnabled() &&
            dialog.pathEdit->isEnabled());
    QVERIFY(dialog.isVisible());
}

// What an earlier run, a killed one or someone else left in the work folder:
// reused only as this user's plain, matching package; links are removed as
// links and never followed; a stage that cannot be emptied stops the run.
void tst_Install::workFolderLeftovers_data()
{
    QTest::addColumn<QString>("left");  // what stands in the work folder before
    QTest::addColumn<bool>("digest");   // the manifest gives sha256
    QTest::addColumn<int>("downloads"); // package requests
    QTest::addColumn<QString>("error"); // empty: installed; STAGE: the stage's path
    QTest::newRow("whole package") << QStringLiteral("package") << true << 0 << QString();
    QTest::newRow("package cut short") << QStringLiteral("partial") << true << 1 << QString();
    // With no digest to match, a package cut short would be taken on every
    // retry: nothing left there is reused.
    QTest::newRow("package cut short, no digest")
        << QStringLiteral("partial") << false << 1 << QString();
    QTest::newRow("whole package, no digest")
        << QStringLiteral("package") << false << 1 << QString();
    QTest::newRow("package: link to a document")
        << QStringLiteral("package->document") << true << 1 << QString();
    QTest::newRow("package: link to a matching package")
        << QStringLiteral("package->download") << true << 1 << QString();
    QTest::newRow("stage: link to the documents")
        << QStringLiteral("stage->documents") << true << 0 << QString();
    QTest::newRow("work folder: link to the documents")
        << QStringLiteral("work->documents") << true << 1 << QString();
    QTest::newRow("work folder: a file") << QStringLiteral("work=file") << true << 0
                                         << QStringLiteral("Ошибка загрузки: рабочая папка WORK — "
                                                           "не обычная папка (ссылка или файл). "
                                                           "Удалите её и попробуйте ещё раз.");
    QTest::newRow("stage: an entry that cannot be removed")
        << QStringLiteral("stage+immutable") << true << 0
        << QStringLiteral("Не удалось очистить временную папку STAGE: в ней остались файлы, "
                          "которые установщик не может удалить. Удалите её и попробуйте ещё раз.");
}

void tst_Install::workFolderLeftovers()
{
    QFETCH(QString, left);
    QFETCH(bool, digest);
    QFETCH(int, downloads);
    QFETCH(QString, error);
    // Wrapped in a folder: the stage's leftovers would win the search for
    // the application's root.
    const QString zip = path(QStringLiteral("wrapped.zip"));
    QVERIFY(testzip::write(zip, {testzip::makeFile("Tambrix/TambrixDesktop.exe", launcher, 0755),
                                 testzip::makeFile("Tambrix/tambrix.ico", "icon")}));
    const QByteArray wrapped = testenv::readAll(zip);
    const QByteArray manifest =
        digest ? manifestFor(wrapped)
               : R"({"version":"1.4.2","url":"/files/TambrixDesktop-1.4.2.zip"})";
    serve(manifest, wrapped);

    // The user's own files, which nothing here may change.
    const QString documents = homeFile(QStringLiteral("Documents"));
    QVERIFY(testenv::writeFile(documents + QLatin1String("/report.docx"), "my report"));
    QVERIFY(testenv::writeFile(homeFile(QStringLiteral("Downloads/pkg.zip")), wrapped));
    const auto removeOwn = qScopeGuard([&] {
        QDir(documents).removeRecursively();
        QDir(homeFile(QStringLiteral("Downloads"))).removeRecursively();
    });
    auto own = [&] {
        return testenv::treeOf(documents).values() +
               testenv::treeOf(homeFile(QStringLiteral("Downloads"))).values();
    };
    const QList<QByteArray> ownBefore = own();

    const QString packageFile = workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip");
    const QString stage = workFolder() + QLatin1String("/stage-1.4.2");
    const QString planted = stage + QLatin1String("/TambrixDesktop.exe");
    QVERIFY(QDir().mkpath(QFileInfo(workFolder()).path()));
    if (left.startsWith(QLatin1String("work")))
        QVERIFY(left == QLatin1String("work=file") ? testenv::writeFile(workFolder(), "a file")
                                                   : QFile::link(documents, workFolder()));
    else
        QVERIFY(QDir().mkpath(workFolder()));
    if (left == QLatin1String("package"))
        QVERIFY(testenv::writeFile(packageFile, wrapped));
    if (left == QLatin1String("partial"))
        QVERIFY(testenv::writeFile(packageFile, wrapped.left(wrapped.size() / 2)));
    if (left == QLatin1String("package->document"))
        QVERIFY(QFile::link(documents + QLatin1String("/report.docx"), packageFile));
    if (left == QLatin1String("package->download"))
        QVERIFY(QFile::link(homeFile(QStringLiteral("Downloads/pkg.zip")), packageFile));
    if (left == QLatin1String("stage->documents")) {
        QVERIFY(testenv::writeFile(packageFile, wrapped));
        QVERIFY(QFile::link(documents, stage));
    }
    bool immutable = false;
    const auto mutableAgain = qScopeGuard([&] {
        if (immutable)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), planted});
    });
    if (left == QLatin1String("stage+immutable")) {
        QVERIFY(testenv::writeFile(packageFile, wrapped));
        QVERIFY(testenv::writeFile(planted, "#!/bin/sh\necho planted\n"));
        // Another user's file in a shared TEMP: chattr +i stands for it (root
        // removes whatever permissions forbid).
        immutable =
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), planted}) == 0 &&
            !QFile::remove(planted);
        if (!immutable)
            QSKIP("this file system cannot make a file impossible to remove (chattr +i)");
    }

    const QString install = path(QStringLiteral("Tambrix"));
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();

    QCOMPARE(packageRequests(), downloads);
    QCOMPARE(own(), ownBefore);
    QCOMPARE(testenv::treeOf(documents).keys(), QStringList{QStringLiteral("report.docx")});
    if (error.isEmpty()) {
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
        QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
        // The work folder and the package are this user's plain entries now.
        QVERIFY(!QFileInfo(workFolder()).isSymLink() && QFileInfo(workFolder()).isDir());
        QVERIFY(!QFileInfo(packageFile).isSymLink());
        QCOMPARE(testenv::readAll(packageFile), wrapped);
        QVERIFY(!QFileInfo(stage).isSymLink() && !QFileInfo::exists(stage));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 5000);
        return;
    }
    error.replace(QStringLiteral("STAGE"), stage).replace(QStringLiteral("WORK"), workFolder());
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, error);
    QCOMPARE(dialog.updDetail->text(), error);
    QVERIFY(!QFile::exists(install + QLatin1String("/TambrixDesktop.exe")));
    QVERIFY(!QFile::exists(homeFile(QStringLiteral("launched.txt"))));
    if (immutable)
        QCOMPARE(QDir(stage).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList{QStringLiteral("TambrixDesktop.exe")}); // nothing unpacked beside it
    if (left == QLatin1String("work=file"))
        QFile::remove(workFolder());
}

// Another installer of this user holds the installation: this one says so,
// fetches and writes nothing, and stays ready; once the other has ended, the
// same button installs. The program it starts never carries the hold on.
void tst_Install::oneInstallationAtATime()
{
    const QString zip = path(QStringLiteral("stays.zip"));
    QVERIFY(testzip::write(zip, {testzip::makeFile("TambrixDesktop.exe",
                                                   "#!/bin/sh\necho $$ > \"$HOME/stays.pid\"\n"
                                                   "exec sleep 60\n",
                                                   0755)}));
    const QByteArray stays = testenv::readAll(zip);
    serve(manifestFor(stays), stays);
    const QString install = path(QStringLiteral("Tambrix"));
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    {
        InstallHold otherInstaller;
        QVERIFY(otherInstaller.acquire());
        testbox::SeenBox box(&dialog);
        dialog.startInstall();
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.title, QStringLiteral("Tambrix"));
        QCOMPARE(box.text, QStringLiteral("Tambrix Desktop уже устанавливается в другом окне "
                                          "установщика. Дождитесь, пока установка в нём "
                                          "закончится, и попробуйте ещё раз."));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QVERIFY(server->requests.isEmpty());
        QVERIFY(!QFile::exists(workFolder()));
        QVERIFY(!QFile::exists(install));
        QCOMPARE(dialog.updStatus->text(),
                 QStringLiteral("Установка последней версии Tambrix Desktop"));
        QCOMPARE(dialog.updNow->text(), QStringLiteral("Установить"));
        QVERIFY(dialog.updNow->isEnabled() && dialog.pathEdit->isEnabled());
    }
    dialog.updNow->click();
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    const QString pidFile = homeFile(QStringLiteral("stays.pid"));
    QTRY_VERIFY(!testenv::readAll(pidFile).trimmed().isEmpty() && QFile::exists(pidFile));
    const pid_t started = pid_t(testenv::readAll(pidFile).trimmed().toLong());
    const auto end = qScopeGuard([&] {
        kill(started, SIGKILL);
        QFile::remove(pidFile);
    });
    QVERIFY(started > 0 && kill(started, 0) == 0);
    InstallHold next;
    QVERIFY2(next.acquire(), "the started program holds the installation");
}

// Without room on the work folder's volume for the package the manifest
// announces, the download is not begun; the package it replaces counts as
// free, and without a size (or a figure from the volume) it goes ahead.
void tst_Install::downloadSpace_data()
{
    QTest::addColumn<bool>("withSize");
    QTest::addColumn<int>("left");       // bytes of an earlier package at its name
    QTest::addColumn<qint64>("missing"); // available = size - left - missing
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("asLink"); // the earlier package is a link to a file of its size
    QTest::newRow("one byte short") << true << 0 << qint64(1) << true << false;
    QTest::newRow("exactly the package") << true << 0 << qint64(0) << false << false;
    QTest::newRow("the package it replaces counts") << true << 100 << qint64(0) << false << false;
    QTest::newRow("the package it replaces counts once, one byte short")
        << true << 100 << qint64(1) << true << false;
    // Removing a link frees nothing of what it leads to.
    QTest::newRow("a link at the package's name frees nothing")
        << true << 100 << qint64(-99) << true << true;
    QTest::newRow("no size in the manifest") << false << 0 << qint64(1) << false << false;
}

void tst_Install::downloadSpace()
{
    QFETCH(bool, withSize);
    QFETCH(int, left);
    QFETCH(qint64, missing);
    QFETCH(bool, refused);
    QFETCH(bool, asLink);
    QByteArray manifest = manifestFor(package);
    if (!withSize)
        manifest.replace(",\"size\":" + QByteArray::number(package.size()), "");
    serve(manifest, package);
    const QString packageFile = workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip");
    const QString target = path(QStringLiteral("elsewhere.zip"));
    if (asLink)
        QVERIFY(testenv::writeFile(target, QByteArray(left, 'x')) && QDir().mkpath(workFolder()) &&
                QFile::link(target, packageFile));
    else if (left > 0)
        QVERIFY(testenv::writeFile(packageFile, QByteArray(left, 'x')));
    const qint64 available = package.size() - left - missing;
    testVolumeSpace = [&](const QString &folder) {
        return folder == workFolder() ? VolumeSpace{QStringLiteral("W:"), available, 1}
                                      : VolumeSpace();
    };
    const auto restore = qScopeGuard([] { testVolumeSpace = nullptr; });
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(path(QStringLiteral("Tambrix")));
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    if (!refused) {
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
        QCOMPARE(packageRequests(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 5000);
        return;
    }
    const QString message =
        QStringLiteral("Ошибка загрузки: на диске W: недостаточно места для загрузки: нужно %1, "
                       "свободно %2. Освободите место и нажмите «Повторить».")
            .arg(formatBytes(package.size()), formatBytes(available));
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.text, message);
    QCOMPARE(dialog.updDetail->text(), message);
    QCOMPARE(packageRequests(), 0);
    QCOMPARE(QFileInfo(packageFile).size(), qint64(left)); // what stood there, untouched
    QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
}

// Another local user, as the tests can make one: root hands files to this
// uid and runs commands as it.
static constexpr uid_t otherUid = 4242;

static bool canActAsOtherUser()
{
    return geteuid() == 0 && !QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
}

// Runs a command as the other user; its exit code.
static int asOtherUser(const QStringList &command)
{
    QProcess process;
    process.start(QStringLiteral("setpriv"),
                  QStringList{QStringLiteral("--reuid=%1").arg(otherUid),
                              QStringLiteral("--regid=%1").arg(otherUid),
                              QStringLiteral("--clear-groups"), QStringLiteral("--")} +
                      command);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
               ? process.exitCode()
               : -1;
}

static bool giveToOtherUser(const QString &path)
{
    return ::chown(QFile::encodeName(path).constData(), otherUid, otherUid) == 0;
}

// The test's folders made passable to the other user, and TEMP shared as
// C:\Temp is (writable by all, as /tmp with its sticky bit), for the
// lifetime of the object.
class SharedMachine
{
public:
    SharedMachine()
    {
        const QString root = testenv::environment().root.path();
        for (const QString &folder :
             {root, root + QLatin1String("/users"), testenv::environment().home()})
            passable(folder, 0711);
        passable(testenv::environment().temp(), 01777);
    }
    ~SharedMachine()
    {
        for (auto it = saved.begin(); it != saved.end(); ++it)
            ::chmod(QFile::encodeName(it.key()).constData(), it.value());
    }

private:
    void passable(const QString &folder, mode_t mode)
    {
        struct stat info;
        const QByteArray native = QFile::encodeName(folder);
        if (::stat(native.constData(), &info) == 0) {
            saved.insert(folder, info.st_mode & 07777);
            ::chmod(native.constData(), mode);
        }
    }
    QMap<QString, mode_t> saved;
};

static mode_t modeOf(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777
                                                                    : mode_t(-1);
}

static uid_t ownerOf(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_uid : uid_t(-1);
}

// Where the work folder may go, from what the temporary folder's volume
// keeps: a drive that keeps no access rights can hold no private folder.
void tst_Install::workFolderPlaces_data()
{
    QTest::addColumn<bool>("keepsRights");
    QTest::addColumn<bool>("theUsers"); // the temporary folder is the user's alone
    QTest::addColumn<QStringList>("places");
    const QString tag = QString::number(geteuid());
    const QString profile = QStringLiteral("C:/Users/u/AppData/Local/cache/TambrixSetup");
    QTest::newRow("the user's own TEMP on NTFS: there, then one of this user's naming")
        << true << true
        << QStringList{QStringLiteral("D:/Temp/TambrixSetup"),
                       QStringLiteral("D:/Temp/TambrixSetup-") + tag};
    QTest::newRow("exFAT: below the profile only") << false << true << QStringList{profile};
    QTest::newRow("a shared TEMP: below the profile only") << true << false << QStringList{profile};
}

void tst_Install::workFolderPlaces()
{
    QFETCH(bool, keepsRights);
    QFETCH(bool, theUsers);
    QFETCH(QStringList, places);
    QCOMPARE(workFolderCandidates(
                 QStringLiteral("D:/Temp"),
                 {keepsRights ? QStringLiteral("NTFS") : QStringLiteral("exFAT"), keepsRights},
                 theUsers, QStringLiteral("C:/Users/u/AppData/Local/cache/TambrixSetup")),
             places);
}

// A shared TEMP (sticky and open to all, as /tmp and a C:\Temp set by
// policy are): whatever another user made there first (the work folder, both
// its names, or this user's own folder opened to all with her package in
// it) stops nothing, and she cannot swap the package after its digest was
// checked (she tries right after the checksum): the work folder is one below
// the profile, which nobody else can name or make first.
void tst_Install::anotherUsersWorkFolder_data()
{
    QTest::addColumn<QString>("before"); // hers, both, ours-open
    QTest::newRow("she made the work folder first") << QStringLiteral("hers");
    QTest::newRow("she made both names") << QStringLiteral("both");
    QTest::newRow("this user's, open to everyone, her package in it")
        << QStringLiteral("ours-open");
}

void tst_Install::anotherUsersWorkFolder()
{
    QFETCH(QString, before);
    if (!canActAsOtherUser())
        QSKIP("needs root and setpriv to act as a second user");
    SharedMachine machine;
    serve(manifestFor(package), package);
    // Each row from nothing: an earlier run's package would be reused there.
    removeTreeNoFollow(profileWorkFolder());
    const QString temp = QFileInfo(workFolder()).path();
    const QString fallback = temp + QLatin1String("/TambrixSetup-") + QString::number(geteuid());
    const auto removeFallback = qScopeGuard([&] { removeTreeNoFollow(fallback); });
    // Her own program, zipped as the package would be, in a folder of hers.
    const QString hers = temp + QLatin1String("/hers");
    const QString evilZip = hers + QLatin1String("/evil.zip");
    QVERIFY(QDir().mkpath(hers));
    QVERIFY(testzip::write(
        evilZip, {testzip::makeFile("TambrixDesktop.exe", "#!/bin/sh\necho evil\n", 0755)}));
    QVERIFY(giveToOtherUser(hers) && giveToOtherUser(evilZip));
    const auto removeHers = qScopeGuard([&] { QDir(hers).removeRecursively(); });
    const QString planted = workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip");
    QVERIFY(QDir().mkpath(workFolder()));
    QVERIFY(::chmod(QFile::encodeName(workFolder()).constData(), 0777) == 0);
    QVERIFY(testenv::writeFile(planted, package));
    if (before != QLatin1String("ours-open"))
        QVERIFY(giveToOtherUser(workFolder()) && giveToOtherUser(planted));
    if (before == QLatin1String("both")) {
        QVERIFY(QDir().mkpath(fallback));
        QVERIFY(giveToOtherUser(fallback) &&
                ::chmod(QFile::encodeName(fallback).constData(), 0777) == 0);
    }
    const auto herFolder = testenv::treeOf(workFolder());

    int swapped = -2;
    testAfterPackageReady = [&](const QString &packageFile) {
        swapped = asOtherUser({QStringLiteral("mv"), QStringLiteral("-f"), evilZip, packageFile});
    };
    const auto restore = qScopeGuard([] { testAfterPackageReady = nullptr; });
    const QString install = path(QStringLiteral("Tambrix"));
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    const QString taken = profileWorkFolder();
    const auto removeTaken = qScopeGuard([&] { removeTreeNoFollow(taken); });
    QCOMPARE(swapped, 1); // she could not put hers in place of the package
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
    QCOMPARE(ownerOf(taken), geteuid());
    QCOMPARE(modeOf(taken) & 077, mode_t(0));
    QCOMPARE(testenv::readAll(taken + QLatin1String("/TambrixDesktop-1.4.2.zip")), package);
    QCOMPARE(testenv::treeOf(workFolder()), herFolder); // what stands in TEMP, untouched
    QCOMPARE(packageRequests(), 1);                     // nothing others could write is reused
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 5000);
}

// An install folder another user owns is refused before anything starts; one
// of this user's that others could write (an earlier installation), and any
// folder the installer makes, are this user's alone before anything is
// written into them.
void tst_Install::anotherUsersInstallFolder_data()
{
    QTest::addColumn<QString>("before"); // what stands at the install folder
    QTest::addColumn<int>("appsMode");   // of the folder above it
    QTest::newRow("another user's folder") << QStringLiteral("hers") << 0755;
    QTest::newRow("an earlier installation open to everyone")
        << QStringLiteral("ours-open") << 0755;
    QTest::newRow("made in a sticky folder open to everyone") << QStringLiteral("missing") << 01777;
    // She could rename the install folder and put hers in its place.
    QTest::newRow("made in a folder open to everyone") << QStringLiteral("missing") << 0777;
    QTest::newRow("an earlier installation in a folder open to everyone")
        << QStringLiteral("ours-open") << 0777;
    QTest::newRow("in a folder the group may write") << QStringLiteral("missing") << 0775;
    // What she put into it while it was open stays hers: named, not deleted.
    QTest::newRow("her version.dll in an earlier installation")
        << QStringLiteral("ours-open-her-dll") << 0755;
    QTest::newRow("her plugin folder, open to all, in an earlier installation")
        << QStringLiteral("ours-open-her-folder") << 0755;
    QTest::newRow("a folder of this user's open to the group, deep inside")
        << QStringLiteral("ours-open-group-folder") << 0755;
    // Links go before any change of permissions walks the folder's tree,
    // which would go on into what they point at.
    QTest::newRow("her link in an earlier installation")
        << QStringLiteral("ours-open-her-link") << 0755;
    QTest::newRow("this user's link in an earlier installation, hidden")
        << QStringLiteral("ours-open-own-link") << 0755;
}

void tst_Install::anotherUsersInstallFolder()
{
    QFETCH(QString, before);
    QFETCH(int, appsMode);
    if (!canActAsOtherUser())
        QSKIP("needs root and setpriv to act as a second user");
    SharedMachine machine;
    serve(manifestFor(package), package);
    const QString apps = path(QStringLiteral("Apps"));
    const QString install = apps + QLatin1String("/Tambrix");
    QVERIFY(QDir().mkpath(apps));
    QVERIFY(::chmod(QFile::encodeName(work->path()).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(apps).constData(), mode_t(appsMode)) == 0);
    if (before != QLatin1String("missing")) {
        QVERIFY(QDir().mkpath(install));
        QVERIFY(testenv::writeFile(install + QLatin1String("/Uninstall.cmd"),
                                   QByteArray(uninstallScript, int(sizeof uninstallScript) - 1)));
        QVERIFY(::chmod(QFile::encodeName(install).constData(), 0777) == 0);
    }
    if (before == QLatin1String("hers"))
        QVERIFY(giveToOtherUser(install));
    QString theirs;
    if (before == QLatin1String("ours-open-her-dll")) {
        theirs = install + QLatin1String("/version.dll");
        QVERIFY(testenv::writeFile(theirs, "hers") && giveToOtherUser(theirs));
    } else if (before == QLatin1String("ours-open-her-folder")) {
        theirs = install + QLatin1String("/platformthemes");
        QVERIFY(QDir().mkpath(theirs) && giveToOtherUser(theirs) &&
                ::chmod(QFile::encodeName(theirs).constData(), 0777) == 0);
    }
    // A folder elsewhere, open to all, that the links point at.
    const QString elsewhere = path(QStringLiteral("Elsewhere"));
    const QString ownLink = install + QLatin1String("/lib/.cache");
    if (before.endsWith(QLatin1String("-link"))) {
        QVERIFY(testenv::writeFile(elsewhere + QLatin1String("/notes.txt"), "mine") &&
                ::chmod(QFile::encodeName(elsewhere).constData(), 0777) == 0);
        if (before == QLatin1String("ours-open-her-link")) {
            theirs = install + QLatin1String("/plugins");
            QVERIFY(QFile::link(elsewhere, theirs) &&
                    ::lchown(QFile::encodeName(theirs).constData(), otherUid, otherUid) == 0);
        } else {
            QVERIFY(QDir().mkpath(install + QLatin1String("/lib")) &&
                    QFile::link(elsewhere, ownLink));
        }
    } else if (before == QLatin1String("ours-open-group-folder")) {
        theirs = install + QLatin1String("/lib/plugins");
        QVERIFY(QDir().mkpath(theirs) && ::chmod(QFile::encodeName(theirs).constData(), 0775) == 0);
    }
    const auto beforeTree = testenv::treeOf(install);

    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    testbox::SeenBox box(&dialog);
    dialog.startInstall();
    if (before == QLatin1String("hers")) {
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.text,
                 refused(install,
                         QStringLiteral("её владелец — другой пользователь, и он сможет "
                                        "подменить файлы программы."),
                         QStringLiteral("Укажите папку в своём профиле"), defaultFolder()));
        QVERIFY(server->requests.isEmpty());
        QCOMPARE(testenv::treeOf(install), beforeTree);
        QCOMPARE(modeOf(install), mode_t(0777));
        return;
    }
    if (!theirs.isEmpty()) {
        const QString message =
            QStringLiteral("В папке установки есть %1: его владелец — другой пользователь или в "
                           "него могут писать другие, и он мог подменить файлы программы. "
                           "Установщик его не удаляет: удалите или проверьте его сами и нажмите "
                           "«Повторить».")
                .arg(theirs);
        QCOMPARE(box.text, message);
        QCOMPARE(dialog.updDetail->text(), message);
        QCOMPARE(testenv::treeOf(install), beforeTree); // nothing deleted, nothing written
        QVERIFY(!QFile::exists(install + QLatin1String("/TambrixDesktop.exe")));
        if (before == QLatin1String("ours-open-her-link")) // stopped before any change
            QCOMPARE(modeOf(install), mode_t(0777));
        return;
    }
    if ((appsMode & 022) && !(appsMode & 01000)) {
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.text,
                 refused(install,
                         QStringLiteral("папку «%1» может переименовать или подменить другой "
                                        "пользователь, и тогда ярлыки программы запустят то, что "
                                        "он положит на её место.")
                             .arg(install),
                         QStringLiteral("Укажите папку в своём профиле"), defaultFolder()));
        QVERIFY(server->requests.isEmpty());
        QCOMPARE(testenv::treeOf(install), beforeTree);
        return;
    }
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    QCOMPARE(modeOf(install),
             before.startsWith(QLatin1String("ours-open")) ? mode_t(0755) : mode_t(0700));
    if (before == QLatin1String("ours-open-own-link")) {
        QVERIFY(!QFileInfo(ownLink).isSymLink() && !QFileInfo::exists(ownLink));
        QCOMPARE(modeOf(elsewhere), mode_t(0777));
        QCOMPARE(testenv::treeOf(elsewhere).keys(), QStringList{QStringLiteral("notes.txt")});
    }
    QVERIFY2(asOtherUser({QStringLiteral("touch"), install + QLatin1String("/TambrixDesktop.exe"),
                          install + QLatin1String("/version.dll")}) != 0,
             "another user can write into the install folder");
    QCOMPARE(testenv::readAll(install + QLatin1String("/TambrixDesktop.exe")), launcher);
    QVERIFY(!QFile::exists(install + QLatin1String("/version.dll")));
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 5000);
}

// A copy of the application started while the package downloads was not
// part of the answer at Install: it is asked about before the deployment
// ends it. No leaves everything as it is, ready for Retry.
void tst_Install::startedDuringDownload_data()
{
    QTest::addColumn<bool>("runningAtInstall");
    QTest::addColumn<bool>("startedDuring");
    QTest::addColumn<QList<QMessageBox::StandardButton>>("answers");
    QTest::addColumn<int>("questions");
    const QMessageBox::StandardButton yes = QMessageBox::Yes, no = QMessageBox::No;
    QTest::newRow("started during the download, no")
        << false << true << QList<QMessageBox::StandardButton>{no} << 1;
    QTest::newRow("started during the download, yes")
        << false << true << QList<QMessageBox::StandardButton>{yes} << 1;
    QTest::newRow("asked at Install, the same copy still runs")
        << true << false << QList<QMessageBox::StandardButton>{yes} << 1;
    QTest::newRow("asked at Install, another copy started")
        << true << true << QList<QMessageBox::StandardButton>{yes, yes} << 2;
}

void tst_Install::startedDuringDownload()
{
    QFETCH(bool, runningAtInstall);
    QFETCH(bool, startedDuring);
    QFETCH(QList<QMessageBox::StandardButton>, answers);
    QFETCH(int, questions);
    serve(manifestFor(package), package);
    const QString image = QStringLiteral("TambrixDesktop.exe");
    QScopedPointer<RunningCopy> atInstall, during;
    if (runningAtInstall)
        atInstall.reset(new RunningCopy(path(QStringLiteral("first")), image));
    testAfterPackageReady = [&](const QString &) {
        if (startedDuring)
            during.reset(new RunningCopy(path(QStringLiteral("second")), image));
    };
    const auto restore = qScopeGuard([] { testAfterPackageReady = nullptr; });
    const QString install = path(QStringLiteral("Tambrix"));
    SetupDialog dialog;
    dialog.show();
    dialog.pathEdit->setText(install);
    testbox::SeenBoxes boxes(answers);
    dialog.startInstall();

    const QString question = runningAppQuestion();
    QCOMPARE(boxes.texts, QStringList(questions, question));
    QCOMPARE(boxes.icons, QList<QMessageBox::Icon>(questions, QMessageBox::Question));
    if (answers.last() == QMessageBox::No) {
        QCOMPARE(dialog.updStatus->text(), QStringLiteral("Ошибка установки"));
        QCOMPARE(dialog.updDetail->text(),
                 QStringLiteral("Установка остановлена: Tambrix Desktop запущен, а закрыть его вы "
                                "не разрешили. Закройте Tambrix Desktop и нажмите «Повторить»."));
        QCOMPARE(dialog.updNow->text(), QStringLiteral("Повторить"));
        QVERIFY(dialog.updNow->isEnabled());
        QVERIFY(during->isRunning());
        QVERIFY(!QFile::exists(install));
        QCOMPARE(testenv::readAll(workFolder() + QLatin1String("/TambrixDesktop-1.4.2.zip")),
                 package); // kept for Retry
        return;
    }
    QCOMPARE(dialog.updStatus->text(), QStringLiteral("Готово — запускаем Tambrix…"));
    for (RunningCopy *copy : {atInstall.data(), during.data()}) {
        if (copy)
            QVERIFY(copy->endedWithin(5000));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!dialog.isVisible(), 5000);
}

QTEST_MAIN(tst_Install)
#include "tst_install.moc"
