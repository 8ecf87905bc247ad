// Which folders the install-folder check protects, with Windows spellings as
// a user would type them, on a Windows user's folders as the system spells
// them. Every protected folder has a row of its own, so a folder dropped from
// the rules fails one.
#include "testenv.h"
#include "windowsfacts.h"

// The guard needs the window it warns from, and so the whole program.
#include "installer.h"

#include <QHash>
#include <QtTest>

using Kind = FolderVerdict::Kind;
using namespace testenv;

namespace {

const QString domainUser = QStringLiteral("S-1-5-21-3623811015-3361044348-30300820-1105");

// A Windows user "u" whose folders are where Windows puts them.
const char *const typicalEnvironment[] = {
    "USERPROFILE=C:\\Users\\u",
    "LOCALAPPDATA=C:\\Users\\u\\AppData\\Local",
    "APPDATA=C:\\Users\\u\\AppData\\Roaming",
    "TEMP=C:\\Users\\u\\AppData\\Local\\Temp",
    "TMP=C:\\Users\\u\\AppData\\Local\\Temp",
    "PUBLIC=C:\\Users\\Public",
    "OneDrive=C:\\Users\\u\\OneDrive",
    "OneDriveConsumer=C:\\Users\\u\\OneDrive",
    "ProgramData=C:\\ProgramData",
    "ALLUSERSPROFILE=C:\\ProgramData",
    "ProgramFiles=C:\\Program Files",
    "ProgramFiles(x86)=C:\\Program Files (x86)",
    "ProgramW6432=C:\\Program Files",
    "CommonProgramFiles=C:\\Program Files\\Common Files",
    "CommonProgramFiles(x86)=C:\\Program Files (x86)\\Common Files",
    "CommonProgramW6432=C:\\Program Files\\Common Files",
    "SystemRoot=C:\\WINDOWS",
    "windir=C:\\WINDOWS",
};

// What Qt's standard locations give on Windows for that user.
const char *const typicalLocations[] = {
    "C:/Users/u",
    "C:/Users/u/Desktop",
    "C:/Users/u/Documents",
    "C:/Users/u/Downloads",
    "C:/Users/u/Pictures",
    "C:/Users/u/Music",
    "C:/Users/u/Videos",
    "C:/Users/u/AppData/Local/Temp",
    "C:/Users/u/AppData/Local",
    "C:/Users/u/AppData/Local/cache",
    "C:/Users/u/AppData/Roaming/Microsoft/Windows/Start Menu/Programs",
    "C:/WINDOWS/Fonts",
};

QStringList typicalLocationList()
{
    QStringList list;
    for (const char *item : typicalLocations)
        list << QString::fromUtf8(item);
    return list;
}

// The judgement of a typed folder on that machine by the whole rule order.
FolderVerdict judge(const QString &typed, const SystemFolders &system)
{
    return judgeInstallFolder(typed, windowsFacts(typed, system));
}

} // namespace

class tst_FolderGuard : public QObject
{
    Q_OBJECT

private slots:
    void eachSource_data();
    void eachSource();
    void typicalMachine_data();
    void typicalMachine();
    void profileElsewhere_data();
    void profileElsewhere();
    void homeAtTheTop_data();
    void homeAtTheTop();
    void syncRoots_data();
    void syncRoots();
    void windowsAnswers_data();
    void windowsAnswers();
    void descriptors_data();
    void descriptors();
    void foldersAbove_data();
    void foldersAbove();
};

// One source of protection at a time: only that variable is set, so a
// variable or a name dropped from the rules fails its row.
void tst_FolderGuard::eachSource_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("part"); // for Foreign: the folder it lies in

    const QStringList none;
    auto row = [](const char *name, const QStringList &env, const char *typed, Kind kind,
                  const char *part = "") {
        QTest::newRow(name) << env << QString::fromUtf8(typed) << kind << QString::fromUtf8(part);
    };
    // The user's folders: refused themselves and with what holds them.
    row("USERPROFILE", {QStringLiteral("USERPROFILE=D:\\Profiles\\u")}, "D:\\Profiles\\u",
        Kind::Protected);
    row("USERPROFILE, parent", {QStringLiteral("USERPROFILE=D:\\Profiles\\u")}, "D:\\Profiles",
        Kind::Protected);
    row("LOCALAPPDATA", {QStringLiteral("LOCALAPPDATA=D:\\Local")}, "D:\\Local", Kind::Protected);
    row("LOCALAPPDATA, sub-folder is fine", {QStringLiteral("LOCALAPPDATA=D:\\Local")},
        "D:\\Local\\Tambrix", Kind::Fine);
    row("APPDATA", {QStringLiteral("APPDATA=D:\\Roaming")}, "d:\\roaming", Kind::Protected);
    row("TEMP", {QStringLiteral("TEMP=D:\\Temp")}, "D:\\Temp", Kind::Protected);
    row("TMP", {QStringLiteral("TMP=E:\\Tmp")}, "E:\\Tmp\\", Kind::Protected);
    row("per-user Programs", {QStringLiteral("LOCALAPPDATA=D:\\Local")}, "D:\\Local\\Programs",
        Kind::Protected);
    row("per-user Programs, sub-folder is fine", {QStringLiteral("LOCALAPPDATA=D:\\Local")},
        "D:\\Local\\Programs\\Tambrix", Kind::Fine);
    row("LocalLow beside LOCALAPPDATA", {QStringLiteral("LOCALAPPDATA=D:\\AppData\\Local")},
        "D:\\AppData\\LocalLow", Kind::Protected);
    // Folders of the profile that Windows and its programs make.
    for (const char *name : {"Saved Games", "Favorites", "Contacts", "Links", "Searches",
                             "Pictures", "Music", "Videos", "Documents", "Downloads", "Desktop",
                             "3D Objects", "Pictures\\Screenshots", "Pictures\\Camera Roll",
                             "Pictures\\Saved Pictures", "Videos\\Captures", "AppData\\LocalLow"}) {
        const QByteArray typed = QByteArray("C:\\Users\\u\\") + name;
        QTest::newRow(name) << none << QString::fromUtf8(typed) << Kind::Protected << QString();
    }
    row("inside Documents is fine", none, "C:\\Users\\u\\Documents\\Tambrix", Kind::Fine);
    row("inside Screenshots is fine", none, "C:\\Users\\u\\Pictures\\Screenshots\\x", Kind::Fine);
    // Everyone's, the system's and other programs' folders: refused with
    // everything inside them.
    const struct
    {
        const char *variable, *value, *inside;
    } foreign[] = {
        {"PUBLIC", "C:\\Users\\Public", "C:\\Users\\Public\\Apps"},
        {"OneDrive", "D:\\OneDrive", "D:\\OneDrive\\Apps\\Tambrix"},
        {"OneDriveConsumer", "E:\\Cloud", "E:\\Cloud\\Tambrix"},
        {"OneDriveCommercial", "C:\\Users\\u\\Contoso Cloud", "C:\\Users\\u\\Contoso Cloud\\T"},
        {"ProgramData", "C:\\ProgramData", "C:\\ProgramData\\Tambrix"},
        {"ALLUSERSPROFILE", "D:\\AllUsers", "D:\\AllUsers\\Tambrix"},
        {"ProgramFiles", "C:\\Program Files", "C:\\Program Files\\Tambrix"},
        {"ProgramFiles(x86)", "C:\\Program Files (x86)", "c:\\program files (x86)\\Tambrix"},
        {"ProgramW6432", "D:\\Programs64", "D:\\Programs64\\Tambrix"},
        {"CommonProgramFiles", "D:\\Common", "D:\\Common\\Tambrix"},
        {"CommonProgramFiles(x86)", "D:\\Common86", "D:\\Common86\\Tambrix"},
        {"CommonProgramW6432", "D:\\Common64", "D:\\Common64\\Tambrix"},
        {"SystemRoot", "C:\\WINDOWS", "C:\\Windows\\Temp"},
        {"windir", "D:\\Win", "D:\\Win\\System32\\Tambrix"},
    };
    for (const auto &f : foreign) {
        const QStringList env{QLatin1String(f.variable) + QLatin1Char('=') +
                              QString::fromUtf8(f.value)};
        QString part = QString::fromUtf8(f.value);
        part.replace(QLatin1Char('\\'), QLatin1Char('/'));
        QTest::newRow(f.variable) << env << QString::fromUtf8(f.value) << Kind::Protected
                                  << QString();
        QTest::newRow(qPrintable(QStringLiteral("inside %1").arg(QLatin1String(f.variable))))
            << env << QString::fromUtf8(f.inside) << Kind::Foreign << part;
    }
    row("holds Program Files", {QStringLiteral("ProgramFiles=D:\\Apps\\Program Files")}, "D:\\Apps",
        Kind::Protected);
    row("local Microsoft", {QStringLiteral("LOCALAPPDATA=D:\\Local")},
        "D:\\Local\\Microsoft\\WindowsApps", Kind::Foreign, "D:/Local/Microsoft");
    row("app packages", {QStringLiteral("LOCALAPPDATA=D:\\Local")}, "D:\\Local\\Packages\\Tambrix",
        Kind::Foreign, "D:/Local/Packages");
    row("per-user common programs", {QStringLiteral("LOCALAPPDATA=D:\\Local")},
        "D:\\Local\\Programs\\Common\\Tambrix", Kind::Foreign, "D:/Local/Programs/Common");
    row("the installer's work folder", {QStringLiteral("TEMP=D:\\Temp")}, "D:\\Temp\\TambrixSetup",
        Kind::Protected);
    row("inside the installer's work folder", {QStringLiteral("TMP=E:\\Tmp")},
        "e:\\tmp\\tambrixsetup\\stage-1.4.2", Kind::Foreign, "E:/Tmp/TambrixSetup");
    row("beside the installer's work folder is fine", {QStringLiteral("TEMP=D:\\Temp")},
        "D:\\Temp\\Tambrix", Kind::Fine);
    // Windows' own at the top of every drive, found by name.
    row("recycle bin", none, "D:\\$Recycle.Bin\\S-1-5-21-1\\Tambrix", Kind::Foreign,
        "D:/$Recycle.Bin");
    row("restore points", none, "C:\\System Volume Information\\x", Kind::Foreign,
        "C:/System Volume Information");
    row("the previous installation's profiles", none, "C:\\WINDOWS.OLD\\Users\\u\\Apps",
        Kind::Foreign, "C:/WINDOWS.OLD");
    row("a name like them lower down is fine", none, "C:\\Users\\u\\Apps\\Windows.old", Kind::Fine);
    row("roaming Microsoft, Start menu", {QStringLiteral("APPDATA=D:\\Roaming")},
        "D:\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Tambrix", Kind::Foreign,
        "D:/Roaming/Microsoft");
    // OneDrive folders are known by their name: a second business account
    // has no variable.
    row("OneDrive by name", none, "C:\\Users\\u\\OneDrive", Kind::Protected);
    row("inside OneDrive by name", none, "C:\\Users\\u\\OneDrive\\Documents\\Tambrix",
        Kind::Foreign, "C:/Users/u/OneDrive");
    row("inside a business OneDrive", none, "C:\\Users\\u\\OneDrive - Contoso Ltd\\Tambrix",
        Kind::Foreign, "C:/Users/u/OneDrive - Contoso Ltd");
    row("inside a business OneDrive, other case", none, "C:\\Users\\u\\onedrive - contoso\\Tambrix",
        Kind::Foreign, "C:/Users/u/onedrive - contoso");
    row("a name merely containing OneDrive is fine", none, "C:\\Users\\u\\Apps\\OneDrive x",
        Kind::Fine);
    // Profiles: the folder of profiles, and everything of another user.
    row("profiles folder", none, "C:\\Users", Kind::Protected);
    row("another profile", none, "C:\\Users\\other", Kind::Foreign, "C:/Users/other");
    row("inside another profile", none, "C:\\Users\\other\\Documents\\Apps", Kind::Foreign,
        "C:/Users/other");
    row("another profile, other case", none, "c:\\users\\OTHER\\x", Kind::Foreign,
        "C:/users/OTHER");
    row("the default profile", none, "C:\\Users\\Default\\Apps", Kind::Foreign, "C:/Users/Default");
    row("own profile, sub-folder", none, "C:\\Users\\u\\Apps\\Tambrix", Kind::Fine);
    row("own profile in other case", none, "C:\\USERS\\U\\Apps", Kind::Fine);
    row("drive root", none, "C:\\", Kind::Protected);
    row("other drive root", none, "D:\\", Kind::Protected);
    row("a folder on another drive", none, "D:\\Apps\\Tambrix", Kind::Fine);
}

void tst_FolderGuard::eachSource()
{
    QFETCH(QStringList, environment);
    QFETCH(QString, typed);
    QFETCH(Kind, kind);
    QFETCH(QString, part);
    const FolderVerdict verdict = judge(typed, windowsUser(environment, {}));
    QCOMPARE(verdict.kind, kind);
    if (kind == Kind::Foreign)
        QCOMPARE(verdict.part, part);
}

// The whole picture on a typical machine: folders as users type them.
void tst_FolderGuard::typicalMachine_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<Kind>("kind");
    auto row = [](const char *typed, Kind kind) {
        QTest::newRow(typed) << QString::fromUtf8(typed) << kind;
    };
    row("C:\\Users\\u\\AppData\\Local\\Tambrix", Kind::Fine);
    row("C:\\Users\\u\\AppData\\Local\\Programs\\Tambrix", Kind::Fine);
    row("D:\\Apps\\Tambrix", Kind::Fine);
    row("C:\\Users\\u\\Apps\\O'Brien [x64] (1) & ^c", Kind::Fine);
    row("C:\\Users\\u\\Приложения\\Тамбрикс", Kind::Fine);
    row("C:\\Users\\u\\Documents\\Tambrix", Kind::Fine);
    row("C:\\Tambrix", Kind::Fine);
    row("C:\\Users\\u", Kind::Protected);
    row("C:\\Users\\u\\AppData", Kind::Protected);
    row("C:\\Users\\u\\AppData\\Local", Kind::Protected);
    row("C:\\Users\\u\\AppData\\Local\\Temp", Kind::Protected);
    row("C:\\Users\\u\\AppData\\Roaming", Kind::Protected);
    row("C:\\Users\\u\\Desktop", Kind::Protected);
    row("C:\\Users\\u\\Documents", Kind::Protected);
    row("C:\\Users\\u\\Downloads", Kind::Protected);
    row("C:\\Users\\u\\Pictures\\Camera Roll", Kind::Protected);
    row("C:\\Users\\Public\\Documents", Kind::Foreign);
    row("C:\\Users\\u\\OneDrive\\Desktop", Kind::Foreign);
    row("C:\\Windows", Kind::Protected);
    row("C:\\Windows\\Temp\\Tambrix", Kind::Foreign);
    row("C:\\Windows\\Fonts", Kind::Protected);
    row("C:\\Windows\\Fonts\\Tambrix", Kind::Foreign);
    row("C:\\Program Files\\Tambrix", Kind::Foreign);
    row("C:\\Program Files (x86)", Kind::Protected);
    row("C:\\ProgramData\\Tambrix", Kind::Foreign);
    row("C:\\Users\\other\\Documents", Kind::Foreign);
    row("C:\\Users\\u\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs",
        Kind::Protected);
    row("C:\\Users\\u\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Tambrix",
        Kind::Foreign);
    row("C:\\Users\\u\\AppData\\Local\\Packages\\x", Kind::Foreign);
    row("C:\\", Kind::Protected);
    // Refused before the folders are even looked at.
    row("Tambrix", Kind::NotAbsolute);
    row("~\\Documents", Kind::NotAbsolute);
    row("\\\\localhost\\C$\\Users\\u", Kind::Share);
    row("\\\\?\\C:\\Users\\u\\Apps", Kind::DevicePath);
    row("C:\\Users\\u\\Documents \\x", Kind::TrailingDotOrBlank);
    row("C:\\Users\\u\\!old!", Kind::Exclamation);
}

void tst_FolderGuard::typicalMachine()
{
    QFETCH(QString, typed);
    QFETCH(Kind, kind);
    QStringList environment;
    for (const char *entry : typicalEnvironment)
        environment << QString::fromUtf8(entry);
    const FolderVerdict verdict = judge(typed, windowsUser(environment, typicalLocationList()));
    QCOMPARE(verdict.kind, kind);
}

// A profile moved to another drive: the profiles folder still holds
// everyone else's.
void tst_FolderGuard::profileElsewhere_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<Kind>("kind");
    QTest::newRow("the profiles folder") << QStringLiteral("C:\\Users") << Kind::Protected;
    QTest::newRow("what holds it") << QStringLiteral("C:\\") << Kind::Protected;
    QTest::newRow("another profile") << QStringLiteral("C:\\Users\\other\\x") << Kind::Foreign;
    QTest::newRow("the moved profile") << QStringLiteral("D:\\Profiles\\u") << Kind::Protected;
    QTest::newRow("inside it") << QStringLiteral("D:\\Profiles\\u\\Apps") << Kind::Fine;
}

void tst_FolderGuard::profileElsewhere()
{
    QFETCH(QString, typed);
    QFETCH(Kind, kind);
    QCOMPARE(judge(typed, windowsUser({}, {}, QStringLiteral("D:/Profiles/u"))).kind, kind);
}

// A home directly below a root (as /root is) has no folder of profiles:
// the rest of that drive is not someone else's.
void tst_FolderGuard::homeAtTheTop_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<Kind>("kind");
    QTest::newRow("a folder beside the home") << QStringLiteral("D:\\Apps\\Tambrix") << Kind::Fine;
    QTest::newRow("the home") << QStringLiteral("D:\\u") << Kind::Protected;
    QTest::newRow("the root") << QStringLiteral("D:\\") << Kind::Protected;
}

void tst_FolderGuard::homeAtTheTop()
{
    QFETCH(QString, typed);
    QFETCH(Kind, kind);
    const SystemFolders system = windowsUser({}, {}, QStringLiteral("D:/u"), QStringLiteral("D:/"));
    QCOMPARE(judge(typed, system).kind, kind);
}

// Sync roots as the clients declare them, from a registry of the test's own:
// each provider's MountPoint, and every user's UserSyncRoots.
void tst_FolderGuard::syncRoots_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("part"); // for Foreign: the sync root
    QTest::newRow("inside a SharePoint library")
        << QStringLiteral("C:\\Users\\u\\Contoso\\Site - Documents\\Tambrix") << Kind::Foreign
        << QStringLiteral("C:/Users/u/Contoso/Site - Documents");
    QTest::newRow("the library itself") << QStringLiteral("c:\\users\\u\\contoso\\site - documents")
                                        << Kind::Protected << QString();
    QTest::newRow("beside the library is fine")
        << QStringLiteral("C:\\Users\\u\\Contoso\\Apps") << Kind::Fine << QString();
    QTest::newRow("another provider's mount point")
        << QStringLiteral("D:\\Dropbox\\Apps\\Tambrix") << Kind::Foreign
        << QStringLiteral("D:/Dropbox");
    QTest::newRow("a user's sync root")
        << QStringLiteral("E:\\Box\\Tambrix") << Kind::Foreign << QStringLiteral("E:/Box");
    QTest::newRow("another user's sync root")
        << QStringLiteral("F:\\Shared\\x") << Kind::Foreign << QStringLiteral("F:/Shared");
    QTest::newRow("a value of another name is no root")
        << QStringLiteral("G:\\Cache\\Tambrix") << Kind::Fine << QString();
}

void tst_FolderGuard::syncRoots()
{
    QFETCH(QString, typed);
    QFETCH(Kind, kind);
    QFETCH(QString, part);
    const QString providers = QStringLiteral("HKEY_CURRENT_USER\\Software\\SyncEngines\\Providers");
    const QString manager = QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\"
                                           "CurrentVersion\\Explorer\\SyncRootManager");
    const QHash<QString, QStringList> subkeys = {
        {providers, {QStringLiteral("OneDrive"), QStringLiteral("Dropbox")}},
        {providers + QStringLiteral("\\OneDrive"), {QStringLiteral("Business1")}},
        {providers + QStringLiteral("\\Dropbox"), {QStringLiteral("1")}},
        {manager, {QStringLiteral("Box!S-1-5-21-1!Account")}},
    };
    const QHash<QString, QMap<QString, QString>> values = {
        {providers + QStringLiteral("\\OneDrive\\Business1"),
         {{QStringLiteral("MountPoint"), QStringLiteral("C:\\Users\\u\\Contoso\\Site - Documents")},
          {QStringLiteral("UrlNamespace"), QStringLiteral("G:\\Cache")}}},
        {providers + QStringLiteral("\\Dropbox\\1"),
         {{QStringLiteral("mountpoint"), QStringLiteral("D:\\Dropbox")}}},
        {manager + QStringLiteral("\\Box!S-1-5-21-1!Account\\UserSyncRoots"),
         {{QStringLiteral("S-1-5-21-1"), QStringLiteral("E:\\Box")},
          {QStringLiteral("S-1-5-21-2"), QStringLiteral("F:\\Shared")}}},
    };
    const RegistryView registry{[&](const QString &key) { return subkeys.value(key); },
                                [&](const QString &key) {
                                    return values.value(key);
                                }};
    const SystemFolders system = windowsUser({}, {}, QStringLiteral("C:/Users/u"),
                                             QStringLiteral("C:/Users"), syncRootsFrom(registry));
    const FolderVerdict verdict = judge(typed, system);
    QCOMPARE(verdict.kind, kind);
    if (kind == Kind::Foreign)
        QCOMPARE(verdict.part, part);
}

// What Windows answers for the drive, as typed and where the folder leads,
// and for the OEM code page: the drive first, then the names in order.
void tst_FolderGuard::windowsAnswers_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("resolved");   // where a link on C: leads; empty: as typed
    QTest::addColumn<QStringList>("drives"); // "F:=2": GetDriveTypeW's answer
    QTest::addColumn<QStringList>("names");  // "Apps=changes" or "Apps=unknown"
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("part");
    const QString typed = QStringLiteral("F:\\Apps\\Tambrix");
    const struct
    {
        const char *name;
        unsigned type;
        Kind kind;
    } drives[] = {{"DRIVE_UNKNOWN", 0, Kind::UnknownDrive},
                  {"DRIVE_NO_ROOT_DIR", 1, Kind::UnknownDrive},
                  {"DRIVE_REMOVABLE", 2, Kind::RemovableDrive},
                  {"DRIVE_FIXED", 3, Kind::Fine},
                  {"DRIVE_REMOTE", 4, Kind::Share},
                  {"DRIVE_CDROM", 5, Kind::RemovableDrive},
                  {"DRIVE_RAMDISK", 6, Kind::Fine},
                  {"an answer Windows does not document", 7, Kind::UnknownDrive}};
    for (const auto &drive : drives)
        QTest::newRow(drive.name) << typed << QString()
                                  << QStringList{QStringLiteral("F:=%1").arg(drive.type)}
                                  << QStringList() << drive.kind
                                  << (drive.kind == Kind::Fine ? QString() : QStringLiteral("F:"));
    QTest::newRow("a link on a fixed drive leading to a removable one")
        << QStringLiteral("C:\\Apps\\Tambrix") << QStringLiteral("E:/Tambrix")
        << QStringList{QStringLiteral("C:=3"), QStringLiteral("E:=2")} << QStringList()
        << Kind::RemovableDrive << QStringLiteral("E:");
    QTest::newRow("a name the code page writes as another")
        << QStringLiteral("C:\\Apps\\Caf\u00e9") << QString() << QStringList()
        << QStringList{QStringLiteral("Caf\u00e9=changes")} << Kind::CodePage
        << QStringLiteral("Caf\u00e9");
    QTest::newRow("the code page could not answer")
        << QStringLiteral("C:\\Apps\\x") << QString() << QStringList()
        << QStringList{QStringLiteral("Apps=unknown")} << Kind::CodePageUnknown
        << QStringLiteral("Apps");
    QTest::newRow("the first name at fault is said")
        << QStringLiteral("C:\\Apps\\x") << QString() << QStringList()
        << QStringList{QStringLiteral("x=changes"), QStringLiteral("Apps=unknown")}
        << Kind::CodePageUnknown << QStringLiteral("Apps");
    QTest::newRow("the drive before the names")
        << QStringLiteral("F:\\Apps") << QString() << QStringList{QStringLiteral("F:=2")}
        << QStringList{QStringLiteral("Apps=changes")} << Kind::RemovableDrive
        << QStringLiteral("F:");
}

void tst_FolderGuard::windowsAnswers()
{
    QFETCH(QString, typed);
    QFETCH(QString, resolved);
    QFETCH(QStringList, drives);
    QFETCH(QStringList, names);
    QFETCH(Kind, kind);
    QFETCH(QString, part);
    FolderFacts facts = windowsFacts(typed, windowsUser({}, {}));
    if (!resolved.isEmpty())
        facts.resolved = parseWindowsPath(resolved, QString());
    for (const QString &drive : drives)
        facts.driveTypes.insert(drive.section(QLatin1Char('='), 0, 0),
                                drive.section(QLatin1Char('='), 1).toUInt());
    for (const QString &name : names)
        facts.oemCodePage.insert(name.section(QLatin1Char('='), 0, 0),
                                 name.endsWith(QLatin1String("=changes"))
                                     ? CodePageAnswer::Changes
                                     : CodePageAnswer::Unknown);
    const FolderVerdict verdict = judgeInstallFolder(typed, facts);
    QCOMPARE(verdict.kind, kind);
    QCOMPARE(verdict.part, part);
}

// Whose folder it is, from its security descriptor as Windows writes it in
// SDDL, and what its volume keeps. The folder is D:\Apps\Tambrix, existing.
void tst_FolderGuard::descriptors_data()
{
    QTest::addColumn<QString>("sddl");
    QTest::addColumn<QString>("fileSystem");
    QTest::addColumn<bool>("keepsRights");
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<int>("access"); // FolderAccess
    const QString ntfs = QStringLiteral("NTFS");
    const int privateAccess = int(FolderAccess::Private), shared = int(FolderAccess::Shared),
              foreign = int(FolderAccess::Foreign);
    // Below a drive root: what C:\ passes on to a folder made in it.
    const QString belowRoot = QStringLiteral("D:(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)"
                                             "(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
                                             "(A;OICIIOID;SDGXGWGR;;;AU)");
    QTest::newRow("a profile folder")
        << profileDescriptor() << ntfs << true << Kind::Fine << privateAccess;
    QTest::newRow("made by an elevated run: owner Administrators")
        << profileDescriptor(QStringLiteral("BA")) << ntfs << true << Kind::Fine << privateAccess;
    QTest::newRow("owner Administrators in full form")
        << profileDescriptor(QStringLiteral("S-1-5-32-544")) << ntfs << true << Kind::Fine
        << privateAccess;
    QTest::newRow("owner SYSTEM") << profileDescriptor(QStringLiteral("SY")) << ntfs << true
                                  << Kind::Fine << privateAccess;
    QTest::newRow("below a drive root: Authenticated Users may modify")
        << QStringLiteral("O:%1G:%1").arg(userSid) + belowRoot << ntfs << true << Kind::Fine
        << shared;
    QTest::newRow("C:\\Temp, made by another user")
        << QStringLiteral("O:%1G:%1").arg(otherSid) + belowRoot +
               QStringLiteral("(A;OICIIOID;FA;;;CO)")
        << ntfs << true << Kind::OtherUsersFolder << foreign;
    QTest::newRow("another user's, carrying this user's group")
        << QStringLiteral("O:%1G:%2D:(A;OICI;FA;;;%1)").arg(otherSid, userSid) << ntfs << true
        << Kind::OtherUsersFolder << foreign;
    QTest::newRow("an exFAT folder: owner Everyone, no DACL")
        << QStringLiteral("O:WDD:NO_ACCESS_CONTROL") << QStringLiteral("exFAT") << false
        << Kind::NoAccessRights << foreign;
    QTest::newRow("a FAT32 folder")
        << QStringLiteral("O:WDD:NO_ACCESS_CONTROL") << QStringLiteral("FAT32") << false
        << Kind::NoAccessRights << foreign;
    QTest::newRow("no DACL on a volume that keeps rights")
        << QStringLiteral("O:%1D:NO_ACCESS_CONTROL").arg(userSid) << ntfs << true << Kind::Fine
        << shared;
    const QString domainGroup = QStringLiteral("S-1-5-21-3623811015-3361044348-30300820-1120");
    QTest::newRow("a domain profile with one more group, reading")
        << QStringLiteral("O:%1G:DUD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;%1)"
                          "(A;OICIID;0x1200a9;;;%2)")
               .arg(domainUser, domainGroup)
        << ntfs << true << Kind::Fine << privateAccess;
    QTest::newRow("a group of the user's may write")
        << QStringLiteral("O:%1G:DUD:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;%1)(A;OICIID;0x1301bf;;;%2)")
               .arg(domainUser, domainGroup)
        << ntfs << true << Kind::Fine << shared;
    QTest::newRow("Everyone may write, for what is made inside only")
        << profileDescriptor() + QStringLiteral("(A;OICIIO;GW;;;WD)") << ntfs << true << Kind::Fine
        << shared;
    QTest::newRow("Everyone may only read")
        << profileDescriptor() + QStringLiteral("(A;OICI;FR;;;WD)") << ntfs << true << Kind::Fine
        << privateAccess;
    QTest::newRow("a denying entry widens nothing")
        << profileDescriptor() + QStringLiteral("(D;OICI;FA;;;WD)") << ntfs << true << Kind::Fine
        << privateAccess;
    QTest::newRow("creator owner may write")
        << profileDescriptor() + QStringLiteral("(A;OICIIO;FA;;;CO)") << ntfs << true << Kind::Fine
        << privateAccess;
    QTest::newRow("a right this reader does not know counts as write")
        << profileDescriptor() + QStringLiteral("(A;;ZZ;;;WD)") << ntfs << true << Kind::Fine
        << shared;
    QTest::newRow("delete alone is a write") << profileDescriptor() + QStringLiteral("(A;;SD;;;AU)")
                                             << ntfs << true << Kind::Fine << shared;
    QTest::newRow("the built-in administrator, as SDDL names it")
        << QStringLiteral("O:LAD:(A;OICI;FA;;;LA)") << ntfs << true << Kind::Fine << privateAccess;
    // C:\Program Files as Windows sets it up: TrustedInstaller alone may
    // change it, as only the system can act as TrustedInstaller.
    QTest::newRow("Windows' own folder, TrustedInstaller's")
        << QStringLiteral("O:%1G:%1D:PAI(A;;FA;;;%1)(A;CIIO;GA;;;%1)(A;;0x1301bf;;;SY)"
                          "(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
                          "(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)")
               .arg(QLatin1String("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"))
        << ntfs << true << Kind::Fine << privateAccess;
    QTest::newRow("a volume without rights wins over another user's owner")
        << QStringLiteral("O:%1D:NO_ACCESS_CONTROL").arg(otherSid) << QStringLiteral("exFAT")
        << false << Kind::NoAccessRights << foreign;
    QTest::newRow("an empty DACL lets nobody in")
        << QStringLiteral("O:%1D:P").arg(userSid) << ntfs << true << Kind::Fine << privateAccess;
    QTest::newRow("no folder yet")
        << QString() << ntfs << true << Kind::Fine << int(FolderAccess::Missing);
}

void tst_FolderGuard::descriptors()
{
    QFETCH(QString, sddl);
    QFETCH(QString, fileSystem);
    QFETCH(bool, keepsRights);
    QFETCH(Kind, kind);
    QFETCH(int, access);
    const QString typed = QStringLiteral("D:\\Apps\\Tambrix");
    FolderFacts facts = windowsFacts(typed, windowsUser({}, {}));
    facts.descriptor.sddl = sddl;
    facts.volume = {fileSystem, keepsRights};
    // The built-in administrator's own SID is written "LA" in its
    // descriptors; a domain user is named by the domain's SID.
    for (const QString &user : {QStringLiteral("LA"), domainUser}) {
        if (sddl.startsWith(QLatin1String("O:") + user))
            facts.me = {user, user};
    }
    const FolderVerdict verdict = judgeInstallFolder(typed, facts);
    QCOMPARE(verdict.kind, kind);
    if (kind == Kind::NoAccessRights)
        QCOMPARE(verdict.part, fileSystem);
    QCOMPARE(int(accessOf(facts.descriptor, facts.me)), access);
}

// What stands above the folder: each existing folder up to the profile (or
// the drive's root) must be one only this user, the system and the
// administrators can rename or replace, in a parent nobody else may empty.
// Descriptors as Windows writes them.
void tst_FolderGuard::foldersAbove_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("chain"); // "path=SDDL", the folder first; empty SDDL: missing
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("part");
    // C:\ as Windows 10 sets it up: TrustedInstaller's, users may add folders.
    const QString root =
        QStringLiteral("C:/=O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464G:SYD:"
                       "(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
                       "(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)");
    // A folder a user made in C:\: Authenticated Users may modify it.
    const QString madeInRoot = QStringLiteral("O:%1G:%1D:(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)"
                                              "(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)"
                                              "(A;OICIIOID;SDGXGWGR;;;AU)")
                                   .arg(userSid);
    const QString own = profileDescriptor();
    QTest::newRow("in the profile")
        << QStringLiteral("C:\\Users\\u\\AppData\\Local\\Programs\\Tambrix")
        << QStringList{QStringLiteral("C:/Users/u/AppData/Local/Programs/Tambrix="),
                       QStringLiteral("C:/Users/u/AppData/Local/Programs="),
                       QStringLiteral("C:/Users/u/AppData/Local=") + own,
                       QStringLiteral("C:/Users/u/AppData=") + own,
                       QStringLiteral("C:/Users/u=") + own}
        << Kind::Fine << QString();
    QTest::newRow("C:\\Apps\\Tambrix: others may rename C:\\Apps")
        << QStringLiteral("C:\\Apps\\Tambrix")
        << QStringList{QStringLiteral("C:/Apps/Tambrix="), QStringLiteral("C:/Apps=") + madeInRoot,
                       root}
        << Kind::ReplaceableAbove << QStringLiteral("C:/Apps");
    QTest::newRow("C:\\Tambrix itself, made private: users may only add beside it")
        << QStringLiteral("C:\\Tambrix")
        << QStringList{QStringLiteral("C:/Tambrix=") + madeInRoot, root} << Kind::Fine << QString();
    QTest::newRow("D:\\Apps owned by another user")
        << QStringLiteral("D:\\Apps\\Tambrix")
        << QStringList{QStringLiteral("D:/Apps/Tambrix="),
                       QStringLiteral("D:/Apps=O:%1D:(A;OICI;FA;;;%1)").arg(otherSid),
                       QStringLiteral("D:/=O:SYD:(A;OICI;FA;;;SY)(A;;LC;;;AU)")}
        << Kind::ReplaceableAbove << QStringLiteral("D:/Apps");
    QTest::newRow("a parent everyone may empty")
        << QStringLiteral("D:\\Apps\\Tambrix")
        << QStringList{QStringLiteral("D:/Apps/Tambrix="),
                       QStringLiteral("D:/Apps=O:%1D:(A;OICI;FA;;;%1)(A;;DT;;;WD)").arg(userSid),
                       QStringLiteral("D:/=O:SYD:(A;OICI;FA;;;SY)")}
        << Kind::ReplaceableAbove << QStringLiteral("D:/Apps/Tambrix");
    QTest::newRow("a parent others may re-permit")
        << QStringLiteral("D:\\Apps\\Tambrix")
        << QStringList{QStringLiteral("D:/Apps/Tambrix="),
                       QStringLiteral("D:/Apps=O:%1D:(A;OICI;FA;;;%1)(A;;WD;;;BU)").arg(userSid),
                       QStringLiteral("D:/=O:SYD:(A;OICI;FA;;;SY)")}
        << Kind::ReplaceableAbove << QStringLiteral("D:/Apps/Tambrix");
    QTest::newRow("write for others, but no delete: nothing can be swapped")
        << QStringLiteral("D:\\Apps\\Tambrix")
        << QStringList{QStringLiteral("D:/Apps/Tambrix="),
                       QStringLiteral("D:/Apps=O:%1D:(A;OICI;FA;;;%1)(A;;0x120116;;;AU)")
                           .arg(userSid),
                       QStringLiteral("D:/=O:SYD:(A;OICI;FA;;;SY)")}
        << Kind::Fine << QString();
    QTest::newRow("a folder not made yet counts as the installer's own")
        << QStringLiteral("D:\\Apps\\Tambrix")
        << QStringList{QStringLiteral("D:/Apps/Tambrix="), QStringLiteral("D:/Apps="),
                       QStringLiteral("D:/=O:SYD:(A;OICI;FA;;;SY)(A;OICIIO;SD;;;AU)")}
        << Kind::Fine << QString();
}

void tst_FolderGuard::foldersAbove()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, chain);
    QFETCH(Kind, kind);
    QFETCH(QString, part);
    FolderFacts facts = windowsFacts(typed, windowsUser({}, {}));
    for (const QString &link : chain)
        facts.chain.append(
            {link.section(QLatin1Char('='), 0, 0), link.section(QLatin1Char('='), 1)});
    const FolderVerdict verdict = judgeInstallFolder(typed, facts);
    QCOMPARE(verdict.kind, kind);
    QCOMPARE(verdict.part, part);
}

QTEST_MAIN(tst_FolderGuard)
#include "tst_folderguard.moc"
