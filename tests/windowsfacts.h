// A Windows machine as facts: what the install-folder rules are handed on
// Windows, written here as Windows reports it, so that every rule runs in
// order on any system.
#pragma once

#include "folderguard.h"

#include <QHash>
#include <QString>
#include <QStringList>

namespace testenv {

// The user "u" of these rows, and another user of the same machine.
inline const QString userSid = QStringLiteral("S-1-5-21-1004336348-1177238915-682003330-1001");
inline const QString otherSid = QStringLiteral("S-1-5-21-1004336348-1177238915-682003330-1002");

// A folder a normal run of "u" made in the profile, as
// ConvertSecurityDescriptorToStringSecurityDescriptorW gives it.
inline QString profileDescriptor(const QString &owner = userSid)
{
    return QStringLiteral("O:%1G:%2D:(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;%2)")
        .arg(owner, userSid);
}

// The folders of a Windows user "u" from the variables Windows sets
// ("NAME=value") and the framework's standard locations.
inline SystemFolders windowsUser(const QStringList &environment, const QStringList &locations,
                                 const QString &home = QStringLiteral("C:/Users/u"),
                                 const QString &profiles = QStringLiteral("C:/Users"),
                                 const QStringList &syncRoots = {})
{
    QHash<QString, QString> env;
    for (const QString &entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    return systemFoldersFrom(
        home, profiles, locations,
        [env](const char *name) {
            // Windows reads variable names without case.
            for (auto it = env.begin(); it != env.end(); ++it) {
                if (it.key().compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
                    return it.value();
            }
            return QString();
        },
        syncRoots);
}

// The facts of a typed folder on that machine, where nothing is a link
// (each folder is what it is spelt), every drive is fixed, every name
// survives the OEM code page, the volume is NTFS and the folder does not
// exist yet; rows change what they are about.
inline FolderFacts windowsFacts(const QString &typed, const SystemFolders &system)
{
    FolderFacts facts;
    facts.style = PathStyle::Windows;
    // Qt on Windows cleans with either separator.
    QString forward = typed;
    forward.replace(QLatin1Char('\\'), QLatin1Char('/'));
    facts.cleaned = QDir::cleanPath(forward);
    // and keeps the separator of a drive's root.
    if (facts.cleaned.size() == 2 && isDriveLetter(facts.cleaned))
        facts.cleaned += QLatin1Char('/');
    facts.resolved = parseWindowsPath(facts.cleaned, QString());
    facts.system = spelledAs(system, [](const QString &folder) {
        return QList<WindowsPath>{parseWindowsPath(folder, QString())};
    });
    facts.volume = {QStringLiteral("NTFS"), true};
    facts.me = {userSid, userSid};
    return facts;
}

} // namespace testenv
