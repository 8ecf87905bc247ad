// The install-folder check with the real Win32 functions (GetFullPathNameW,
// GetLongPathNameW, GetFinalPathNameByHandleW, GetDriveTypeW, the known-folder
// API and the OEM code page's conversions): folders that are not one and the
// same folder to every reader, or not the user's own, are refused; the
// user's own folders are not. Runs under wine (or Windows), once per OEM code
// page the run sets up; exit code 0 when every check holds.
#include "folderguard.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

using Kind = FolderVerdict::Kind;

int failures = 0;

void expect(const QString &typed, Kind kind, const char *what)
{
    const FolderVerdict verdict = checkInstallFolder(typed);
    const bool ok = verdict.kind == kind;
    // Kinds by their number in refusals.h.
    std::printf("  %s: %s: %s -> %d (%s)%s\n", ok ? "ok" : "FAILED", what, qPrintable(typed),
                int(verdict.kind), qPrintable(verdict.resolved),
                ok ? "" : qPrintable(QStringLiteral(", expected %1").arg(int(kind))));
    if (!ok)
        ++failures;
}

void check(bool ok, const char *what)
{
    std::printf("  %s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok)
        ++failures;
}

QString shortName(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetShortPathNameW(native.c_str(), buffer, MAX_PATH);
    return n > 0 && n < MAX_PATH
               ? QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(n)))
               : QString();
}

// Adds an entry granting Everyone write, as a folder below a drive root inherits one
// for Authenticated Users.
bool grantEveryoneWrite(const QString &path)
{
    std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    PACL old = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(native.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &old, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    wchar_t everyone[] = L"Everyone";
    EXPLICIT_ACCESSW entry{};
    entry.grfAccessPermissions = FILE_GENERIC_WRITE;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
    entry.Trustee.ptstrName = everyone;
    PACL updated = nullptr;
    const bool ok = SetEntriesInAclW(1, &entry, old, &updated) == ERROR_SUCCESS &&
                    SetNamedSecurityInfoW(native.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                          nullptr, nullptr, updated, nullptr) == ERROR_SUCCESS;
    LocalFree(updated);
    LocalFree(descriptor);
    return ok;
}

// WideCharToMultiByte as Microsoft documents it: for 65001 and 54936 no
// flag but WC_ERR_INVALID_CHARS and no default-character arguments, for the
// code pages without best fit no flags at all; wine accepts them all.
int WINAPI strictWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH wide, int wideSize,
                                     LPSTR bytes, int byteSize, LPCCH defaultChar,
                                     LPBOOL usedDefault)
{
    const CodePageFlags allowed = wideToCodePageFlags(codePage);
    const DWORD permitted = allowed.flags == noBestFitChars ? ~DWORD(0) : allowed.flags;
    if ((flags & ~permitted) || (!allowed.askUsedDefault && (defaultChar || usedDefault))) {
        SetLastError(ERROR_INVALID_FLAGS);
        return 0;
    }
    return WideCharToMultiByte(codePage, flags, wide, wideSize, bytes, byteSize, defaultChar,
                               usedDefault);
}

// GetDriveTypeW as documented: "A trailing backslash is required"; wine
// answers for "C:" too.
UINT WINAPI strictGetDriveTypeW(LPCWSTR root)
{
    const size_t length = root ? wcslen(root) : 0;
    if (length == 0 || root[length - 1] != L'\\')
        return DRIVE_NO_ROOT_DIR;
    return GetDriveTypeW(root);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    wideToCodePage = &strictWideCharToMultiByte;
    driveTypeOfRoot = &strictGetDriveTypeW;
    const QString home = QDir::fromNativeSeparators(qEnvironmentVariable("USERPROFILE"));
    const QString local = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA"));
    if (home.isEmpty() || local.isEmpty()) {
        std::printf("FAILED: USERPROFILE or LOCALAPPDATA is not set\n");
        return 1;
    }
    const UINT oem = GetOEMCP();
    std::printf("OEM code page %u\n", oem);

    // The user's own folders, as users type them.
    expect(QDir::toNativeSeparators(local + QStringLiteral("/Tambrix")), Kind::Fine,
           "the default folder");
    expect(local + QStringLiteral("/Programs/Tambrix"), Kind::Fine, "inside per-user programs");
    expect(QStringLiteral("C:\\Apps\\O'Brien [x64] (1) & ^c"), Kind::Fine, "an odd but own name");
    // Qt's cleaning and ours agree on a lower-case drive and a trailing
    // separator (every later stage gets Qt's reading).
    expect(QStringLiteral("c:\\apps\\Tambrix\\"), Kind::Fine, "a lower-case drive");
    expect(QStringLiteral("C:/Apps//x/../Tambrix"), Kind::Fine, "separators and dot-dot");

    // The profile and its folders, however spelt.
    expect(home, Kind::Protected, "the profile");
    expect(home.toUpper(), Kind::Protected, "the profile in other case");
    expect(home + QStringLiteral("/Documents/.."), Kind::Protected, "back to the profile");
    expect(home + QLatin1Char('.'), Kind::TrailingDotOrBlank, "the profile with a trailing dot");
    expect(home + QStringLiteral(" . "), Kind::TrailingDotOrBlank,
           "the profile with trailing dots and blanks");
    expect(home + QStringLiteral("/Data /x"), Kind::TrailingDotOrBlank,
           "a blank at the end of a name in the middle");
    expect(QStringLiteral("\\\\?\\") + QDir::toNativeSeparators(home), Kind::DevicePath,
           "the profile behind \\\\?\\");
    expect(QStringLiteral("\\\\.\\") + QDir::toNativeSeparators(local), Kind::DevicePath,
           "local app data behind \\\\.\\");
    expect(QStringLiteral("\\\\?\\Volume{1b3b1146-4076-11e1-84aa-806e6f6e6963}\\Users"),
           Kind::DevicePath, "a volume GUID path");
    const QString documents = home + QStringLiteral("/Documents");
    QDir().mkpath(documents);
    const QString shortDocuments = shortName(documents);
    if (!shortDocuments.isEmpty() && shortDocuments.compare(documents, Qt::CaseInsensitive) != 0)
        expect(shortDocuments, Kind::Protected, "Documents by its 8.3 name");
    else
        std::printf("  (no 8.3 name for Documents here)\n");
    const QString longOwn = local + QStringLiteral("/Tambrix Desktop Files");
    QDir().mkpath(longOwn);
    const QString shortOwn = shortName(longOwn);
    if (!shortOwn.isEmpty() && shortOwn.compare(longOwn, Qt::CaseInsensitive) != 0)
        expect(shortOwn, Kind::Fine, "an own folder by its 8.3 name");
    QDir(longOwn).removeRecursively();

    // Relative spellings: each reader takes another base.
    for (const char *relative : {"Tambrix", "C:Tambrix", "\\Tambrix", "C:", "~", "~\\Documents"})
        expect(QString::fromLatin1(relative), Kind::NotAbsolute, "a relative folder");

    // Shares and network drives.
    const QString user = QFileInfo(home).fileName();
    expect(QStringLiteral("\\\\localhost\\C$\\users\\%1").arg(user), Kind::Share,
           "the profile through an admin share");
    expect(QStringLiteral("\\\\127.0.0.1\\c$\\Users\\u\\AppData\\Local"), Kind::Share,
           "a share by address");
    expect(QStringLiteral("\\\\?\\UNC\\localhost\\C$\\Users\\u\\Desktop"), Kind::Share,
           "a share behind \\\\?\\UNC");
    const QString networkDrive = qEnvironmentVariable("TAMBRIX_NETWORK_DRIVE");
    if (!networkDrive.isEmpty()) {
        const std::wstring root = (networkDrive + QLatin1Char('\\')).toStdWString();
        check(GetDriveTypeW(root.c_str()) == DRIVE_REMOTE, "the network drive reads as remote");
        expect(networkDrive + QStringLiteral("\\Apps\\Tambrix"), Kind::Share,
               "a folder on a network drive");
    }
    const QString removableDrive = qEnvironmentVariable("TAMBRIX_REMOVABLE_DRIVE");
    if (!removableDrive.isEmpty()) {
        const std::wstring root = (removableDrive + QLatin1Char('\\')).toStdWString();
        check(GetDriveTypeW(root.c_str()) == DRIVE_REMOVABLE, "the removable drive reads so");
        expect(removableDrive + QStringLiteral("\\Apps\\Tambrix"), Kind::RemovableDrive,
               "a folder on a removable drive");
    }
    expect(QStringLiteral("Q:\\Apps\\Tambrix"), Kind::UnknownDrive, "a letter with no drive");

    // The system's, other programs' and other users' folders, with what is
    // inside them.
    const QString windows = QDir::fromNativeSeparators(qEnvironmentVariable("SystemRoot"));
    expect(windows, Kind::Protected, "the Windows folder");
    expect(windows + QStringLiteral("/Temp"), Kind::Foreign, "the Windows temp folder");
    expect(windows + QStringLiteral("/system32/Tambrix"), Kind::Foreign, "inside system32");
    expect(QDir::fromNativeSeparators(qEnvironmentVariable("ProgramFiles")) +
               QStringLiteral("/Tambrix"),
           Kind::Foreign, "inside Program Files");
    const QString shortProgramFiles =
        shortName(QDir::fromNativeSeparators(qEnvironmentVariable("ProgramFiles")));
    if (!shortProgramFiles.isEmpty() && !shortProgramFiles.contains(QLatin1Char(' ')))
        expect(shortProgramFiles + QStringLiteral("/Tambrix"), Kind::Foreign,
               "inside Program Files by its 8.3 name");
    else
        std::printf("  (no 8.3 name for Program Files here)\n");
    expect(QDir::fromNativeSeparators(qEnvironmentVariable("ProgramData")) +
               QStringLiteral("/Tambrix"),
           Kind::Foreign, "inside ProgramData");
    expect(QFileInfo(home).path() + QStringLiteral("/someone"), Kind::Foreign, "another profile");
    expect(QFileInfo(home).path() + QStringLiteral("/someone/Documents/Apps"), Kind::Foreign,
           "inside another profile");
    expect(home + QStringLiteral("/OneDrive - Contoso/Apps"), Kind::Foreign,
           "inside a business OneDrive");
    expect(local + QStringLiteral("/Packages/App"), Kind::Foreign, "inside app packages");
    expect(QStringLiteral("C:\\"), Kind::Protected, "the drive root");
    expect(QStringLiteral("C:/Apps/100%"), Kind::Percent, "a percent sign");
    expect(QStringLiteral("C:\\Data\\!old!"), Kind::Exclamation, "an exclamation mark");
    expect(QStringLiteral("C:\\Apps\\NUL"), Kind::ReservedName, "a device name");

    // The OEM code page cmd writes the clean-up script in.
    const auto survives = [oem](const QString &name) {
        return survivesOemCodePage(name, oem) == CodePageAnswer::Survives;
    };
    const auto changes = [oem](const QString &name) {
        return survivesOemCodePage(name, oem) == CodePageAnswer::Changes;
    };
    if (wideToCodePageFlags(oem).askUsedDefault) {
        check(changes(QStringLiteral("Documents\uFF3C")),
              "a fullwidth backslash has no exact form (best fit would make it \\)");
        check(changes(QStringLiteral("\uFF05TEMP\uFF05")),
              "fullwidth percent signs have no exact form");
    }
    check(survives(QStringLiteral("Tambrix O'Brien [x64]")), "ASCII survives");
    expect(home + QStringLiteral("/Documents\uFF3C"), Kind::CodePage, "a fullwidth backslash");
    expect(home + QStringLiteral("/Apps\u3000x"), Kind::CodePage, "an ideographic space");
    // Each sample below reads differently in the OEM code page and in the
    // ANSI one (1251, 1252): asking the wrong one fails here.
    if (oem == 866) {
        check(survives(QStringLiteral("Программы Ёё")), "Cyrillic survives code page 866");
        check(changes(QStringLiteral("«Проект»")), "« and » are in 1251, not in code page 866");
        expect(home + QStringLiteral("/«Проект»"), Kind::CodePage, "guillemets under 866");
        expect(home + QStringLiteral("/Программы/Тамбрикс"), Kind::Fine,
               "a Cyrillic folder on a Russian system");
        expect(home + QStringLiteral("/Café"), Kind::CodePage,
               "é is not in code page 866 (best fit would make it e)");
    } else if (oem == 437) {
        check(changes(QStringLiteral("Программы")), "Cyrillic does not survive code page 437");
        check(changes(QStringLiteral("Tambrix ©")), "© is in 1252, not in code page 437");
        expect(home + QStringLiteral("/Tambrix ©"), Kind::CodePage, "a copyright sign under 437");
        expect(home + QStringLiteral("/Программы"), Kind::CodePage,
               "a Cyrillic folder on an English system");
        expect(home + QStringLiteral("/Café"), Kind::Fine, "é is in code page 437");
    } else if (oem == 65001) {
        // The "Use Unicode UTF-8" setting: every name has its exact form, and
        // the call with best-fit flags would fail for every one of them.
        check(survives(QStringLiteral("Программы «Ёё» © Café")), "UTF-8 writes every name");
        expect(home + QStringLiteral("/Программы/Tambrix ©"), Kind::Fine,
               "any own folder under UTF-8");
    }

    // A link to the profile (on NTFS a junction; tests/wine/run makes it from
    // the Unix side, which wine shows as a folder), and a folder below it.
    const QString link = QStringLiteral("C:/tambrix-link");
    if (QFileInfo(link).isDir()) {
        std::printf("  final path of the link: %s, attributes %lx\n",
                    qPrintable(win32FinalPath(link)), GetFileAttributesW(L"C:\\tambrix-link"));
        expect(link, Kind::Protected, "a link to the profile");
        expect(link + QStringLiteral("/Desktop"), Kind::Protected, "the desktop through the link");
        expect(link + QStringLiteral("/Apps/Tambrix"), Kind::Fine,
               "an own folder through the link");
    } else {
        std::printf("  (no link C:/tambrix-link here)\n");
    }
    // Folders only this user can write: made so, found so, repaired so.
    const QString privateFolder = local + QStringLiteral("/Tambrix private check");
    removeTreeNoFollow(privateFolder);
    check(createPrivateFolder(privateFolder) &&
              folderAccess(privateFolder) == FolderAccess::Private,
          "a folder made private reads as private");
    check(grantEveryoneWrite(privateFolder) && folderAccess(privateFolder) == FolderAccess::Shared,
          "with write for Everyone it reads as shared");
    check(makeFolderPrivate(privateFolder) && folderAccess(privateFolder) == FolderAccess::Private,
          "made private again");
    // The reader's SDDL is what the rules decide on: the private DACL reads
    // back entry by entry, with the owner as SDDL names this user.
    const AccountSids &me = thisAccount();
    const QString sddl = readDescriptor(privateFolder).sddl;
    std::printf("  this user: %s, default owner %s; the private folder: %s\n", qPrintable(me.user),
                qPrintable(me.owner), qPrintable(sddl));
    check(!me.user.isEmpty() && (sddl.startsWith(QStringLiteral("O:%1").arg(me.user)) ||
                                 sddl.startsWith(QStringLiteral("O:%1").arg(me.owner))),
          "the owner reads as this user");
    // Windows keeps the protected DACL as set; wine keeps Unix mode bits and
    // answers with entries made from them (the user and SYSTEM with full
    // control, Everyone reading): either way the user's own entry is there,
    // and the decision reads the folder as private.
    check(sddl.contains(QStringLiteral("(A;OICI;FA;;;%1)").arg(me.user)) &&
              sddl.contains(QLatin1String("(A;OICI;FA;;;SY)")) &&
              accessFromDescriptor(sddl, me) == FolderAccess::Private,
          "the private folder's DACL reads back from SDDL as private");
    // What an elevated run leaves: owner Administrators. Windows lets only
    // a holder of SeRestorePrivilege give a folder to them; where the system
    // refuses, the rows on Linux show the rule.
    PSID admins = nullptr;
    std::wstring nativePrivate = QDir::toNativeSeparators(privateFolder).toStdWString();
    if (ConvertStringSidToSidW(L"BA", &admins) &&
        SetNamedSecurityInfoW(nativePrivate.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                              admins, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
        const QString elevated = readDescriptor(privateFolder).sddl;
        std::printf("  owned by Administrators: %s\n", qPrintable(elevated));
        if (elevated.startsWith(QLatin1String("O:BA"))) {
            check(folderAccess(privateFolder) == FolderAccess::Private,
                  "a folder owned by Administrators is the user's own");
            expect(privateFolder, Kind::Fine, "the install folder an elevated run made");
        } else {
            std::printf("  (the owner stays the Unix file's here)\n");
        }
    } else {
        std::printf("  (the owner cannot be set to Administrators here)\n");
    }
    LocalFree(admins);
    const VolumeRights volume = volumeRightsOf(local);
    std::printf("  the profile's volume: %s, access rights kept: %d\n",
                qPrintable(volume.fileSystem), int(volume.keepsAccessRights));
    check(volume.keepsAccessRights && !volume.fileSystem.isEmpty(),
          "the profile's volume keeps access rights");
    removeTreeNoFollow(privateFolder);
    check(folderAccess(privateFolder) == FolderAccess::Missing, "a missing folder reads so");
    std::printf("  the profile's folder access: %d\n", int(folderAccess(home)));

    std::printf("folderguard: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
