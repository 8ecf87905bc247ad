// The work folder, where the package is downloaded and unpacked:
//
//   prepareWorkFolder     the folder this run uses, this user's own and private
//   workFolderCandidates  where it may be, best first (pure)
//
// Nobody else may write into it, or she could swap the package after its
// digest was checked, or the stage for a link before it is removed.
#pragma once

#include "nofollow.h"
#include "product.h"
#include "thisuser.h"
#include "winpaths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace {

// Where the work folder may be, best first: TambrixSetup in the temporary
// folder, then one of this user's naming beside it. Only a temporary folder
// that is the user's alone, on a volume that keeps access rights and below
// folders nobody else can rename or replace, holds one: in a shared TEMP
// (C:\Temp set by policy, /tmp) another user could make either name first,
// or move the work folder aside after the digest check and put hers, with
// her package, in its place. Otherwise one below the profile takes their
// place (profileWorkFolder says why there).
QStringList workFolderCandidates(const QString &tempRoot, const VolumeRights &tempVolume,
                                 bool tempIsTheUsers, const QString &profileFolder)
{
    if (!tempVolume.keepsAccessRights || !tempIsTheUsers)
        return {profileFolder};
    const QString own = QDir(tempRoot).filePath(QLatin1String(workFolderName));
    return {own, own + QLatin1Char('-') + thisUserTag()};
}

// Whether `folder` is this user's alone, and nothing above it (up to the
// profile, or the root outside it) can be renamed or replaced by others.
bool isTheUsersAlone(const QString &folder)
{
    const QString home = QDir::cleanPath(QDir::homePath());
    const bool inHome = folder.startsWith(home + QLatin1Char('/'), Qt::CaseInsensitive);
    return folderAccess(folder) == FolderAccess::Private &&
           replaceableLink(readChain(folder, inHome ? home : QString()), thisAccount()).isEmpty();
}

// The work folder: this user's own, and nobody else may write into it, so
// that nobody can swap the package after its digest was checked or the
// stage for a link. One that another user made (or that cannot be made
// private) is never used. False with the message when none can be had.
bool prepareWorkFolder(QString &workFolder, QString &error)
{
    // With no usable temporary folder the location comes back empty, and the
    // work folder would land at the root of the file system.
    const QString tempRoot = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    const QString cannotCreate =
        QStringLiteral("Ошибка загрузки: Не удалось создать файл загрузки");
    if (tempRoot.isEmpty() || QDir::isRelativePath(tempRoot)) {
        error = cannotCreate;
        return false;
    }
    QDir().mkpath(tempRoot);
    const VolumeRights tempVolume = volumeRightsOf(tempRoot);
    QStringList candidates =
        workFolderCandidates(tempRoot, tempVolume, isTheUsersAlone(tempRoot), profileWorkFolder());
    candidates.removeAll(QString());
    for (QString &folder : candidates) {
        // Expand-Archive reads the stage's path as a pattern.
        const QString root = QFileInfo(folder).path();
        QDir().mkpath(root);
        const QString plainRoot = wildcardFreeFolder(root);
        if (plainRoot.isEmpty()) {
            error =
                QStringLiteral("Временная папка %1 содержит символ [, ], * или ?: PowerShell не "
                               "распакует в неё архив. Укажите в переменных TEMP и TMP папку "
                               "без этих символов.")
                    .arg(QDir::toNativeSeparators(root));
            return false;
        }
        folder = QDir(plainRoot).filePath(QFileInfo(folder).fileName());
    }
    for (const QString &folder : std::as_const(candidates)) {
        const QString native = QDir::toNativeSeparators(folder);
        // A link standing there goes as a link (never followed).
        if (isLinkEntry(folder))
            removeLinkEntry(folder);
        if (isLinkEntry(folder) || (QFileInfo::exists(folder) && !QFileInfo(folder).isDir())) {
            error = QStringLiteral("Ошибка загрузки: рабочая папка %1 — не обычная папка (ссылка "
                                   "или файл). Удалите её и попробуйте ещё раз.")
                        .arg(native);
            return false;
        }
        FolderAccess access = folderAccess(folder);
        if (access == FolderAccess::Missing) {
            createPrivateFolder(folder);
            access = isLinkEntry(folder) ? FolderAccess::Foreign : folderAccess(folder);
        }
        workFolder = folder;
        if (access == FolderAccess::Private && !isLinkEntry(folder))
            return true;
        // This user's, but others could write into it until now: whatever
        // they may have put there (or still hold open) is not trusted, so it
        // goes, and the folder is made private first.
        if (access == FolderAccess::Shared && makeFolderPrivate(folder) &&
            emptyFolderNoFollow(folder) && folderAccess(folder) == FolderAccess::Private)
            return true;
    }
    const QString first = candidates.value(0);
    workFolder.clear();
    error = !QFileInfo(first).isDir()
                ? cannotCreate
                : QStringLiteral("Ошибка загрузки: рабочую папку %1 создал другой пользователь "
                                 "(или в неё могут писать другие), и установщик ей не доверяет. "
                                 "Попросите администратора удалить её или укажите в переменных "
                                 "TEMP и TMP свою папку.")
                      .arg(QDir::toNativeSeparators(first));
    return false;
}

} // namespace
