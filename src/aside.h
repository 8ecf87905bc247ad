// The earlier release during an update, so that the install folder holds it
// as it was or the new release whole, whatever ends the copy:
//
//   finishInterruptedUpdate  what a killed run left: put back, or dropped
//   moveAside                the installed items the copy replaces, renamed
//                            into a folder beside them (same volume)
//   beginCopy                from here a failure removes what the copy wrote
//   putBack                  after a failed copy: what it wrote removed and
//                            the earlier items renamed back
//   dropAside                after a whole copy: the earlier items removed
//
// Layout, inside the install folder: TambrixSetup.previous/names.txt (the
// names the copy writes, one a line, written before anything is moved),
// TambrixSetup.previous/items/<name> (what was moved) and
// TambrixSetup.previous/copying (made just before the copy). A whole copy renames
// the folder to TambrixSetup.done before its removal, so a kill at any
// moment leaves a state the next run reads unambiguously.
#pragma once

#include "nofollow.h"
#include "product.h"
#include "thisuser.h"
#include "winpaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringList>

#include <functional>

namespace {

#ifdef TAMBRIX_TEST_SEAMS
// Lets the tests stop a run at a named moment, as a kill would.
std::function<bool(const char *)> testInterruptAt;
#endif

// True when the tests stop the run here.
bool interruptedAt([[maybe_unused]] const char *moment)
{
#ifdef TAMBRIX_TEST_SEAMS
    return testInterruptAt && testInterruptAt(moment);
#else
    return false;
#endif
}

QString asideFolder(const QString &installFolder, bool done = false)
{
    return QDir(installFolder).filePath(QLatin1String(done ? asideDoneName : asideFolderName));
}

// What a run finds of an update an earlier run did not finish.
enum class Unfinished {
    None,
    PutBack, // the copy may not have ended: the earlier release goes back
    Drop,    // the copy ended whole: the earlier release goes
};

Unfinished unfinishedUpdate(bool asideExists, bool doneExists)
{
    if (asideExists)
        return Unfinished::PutBack;
    return doneExists ? Unfinished::Drop : Unfinished::None;
}

// Renames one entry without following a link; false when it did not move.
// (QFile::rename would copy a file it cannot rename, and then fail to
// remove one that is held open.)
bool renameEntry(const QString &from, const QString &to)
{
    return QDir().rename(from, to) && !QFileInfo::exists(from) && !isLinkEntry(from);
}

void dropAside(const QString &installFolder)
{
    const QString aside = asideFolder(installFolder), done = asideFolder(installFolder, true);
    if (isLinkEntry(aside) || QFileInfo(aside).isDir())
        renameEntry(aside, done);
    if (!interruptedAt("dropping"))
        removeTreeNoFollow(done);
}

// Renames the earlier items back, after removing what the copy wrote when
// it had begun (never before: the items not yet moved are the earlier
// release's own). False, with the item named, when one could not go back.
bool putBack(const QString &installFolder, QString &error)
{
    const QString aside = asideFolder(installFolder);
    const QDir items(QDir(aside).filePath(QStringLiteral("items")));
    const bool copyBegan = QFileInfo::exists(QDir(aside).filePath(QStringLiteral("copying")));
    QFile list(QDir(aside).filePath(QStringLiteral("names.txt")));
    QStringList names;
    if (copyBegan && list.open(QIODevice::ReadOnly))
        names = QString::fromUtf8(list.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QFileInfo &item : folderEntries(items.path()))
        names << item.fileName();
    names.removeDuplicates();
    bool whole = true;
    for (const QString &name : std::as_const(names)) {
        // A name is taken from the list only when it is one plain name.
        if (fileNameComponentFault(name) != NameFault::None)
            continue;
        const QString target = QDir(installFolder).filePath(name);
        const QString earlier = items.filePath(name);
        const bool written = QFileInfo::exists(target) || isLinkEntry(target);
        if (written && copyBegan && !removeTreeNoFollow(target)) {
            // Left as it is; the earlier item stays aside.
        } else if ((!QFileInfo::exists(earlier) && !isLinkEntry(earlier)) ||
                   ((!written || copyBegan) && renameEntry(earlier, target))) {
            continue;
        }
        if (whole)
            error =
                QStringLiteral("Не удалось вернуть на место %1 прежней версии; она сохранена в "
                               "%2.")
                    .arg(QDir::toNativeSeparators(target), QDir::toNativeSeparators(items.path()));
        whole = false;
    }
    if (whole)
        removeTreeNoFollow(aside);
    return whole;
}

// Marks the copy as begun: from here a failure removes what it wrote.
bool beginCopy(const QString &installFolder)
{
    QFile mark(QDir(asideFolder(installFolder)).filePath(QStringLiteral("copying")));
    return mark.open(QIODevice::WriteOnly) && mark.flush();
}

// Moves the installed items named `names` aside. The names go to disk
// first, so that a kill at any later moment can be undone. False, with
// everything put back and the item named, when one cannot be moved (on
// Windows: a file inside is held open by a running program).
bool moveAside(const QString &installFolder, const QStringList &names, QString &error)
{
    const QString aside = asideFolder(installFolder);
    const QString items = QDir(aside).filePath(QStringLiteral("items"));
    QSaveFile list(QDir(aside).filePath(QStringLiteral("names.txt")));
    if (!createPrivateFolder(aside) || !createPrivateFolder(items) ||
        !list.open(QIODevice::WriteOnly) ||
        list.write(names.join(QLatin1Char('\n')).toUtf8()) < 0 || !list.commit()) {
        removeTreeNoFollow(aside);
        error = QStringLiteral("Не удалось создать папку %1 для прежней версии. Установленная "
                               "программа не изменена.")
                    .arg(QDir::toNativeSeparators(aside));
        return false;
    }
    if (interruptedAt("aside begun"))
        return false;
    bool first = true;
    for (const QString &name : names) {
        const QString installed = QDir(installFolder).filePath(name);
        if (!QFileInfo::exists(installed) && !isLinkEntry(installed))
            continue;
        if (!first && interruptedAt("moving aside"))
            return false;
        first = false;
        if (!renameEntry(installed, QDir(items).filePath(name))) {
            QString ignored;
            putBack(installFolder, ignored);
            error = QStringLiteral("Не удалось отложить %1 прежней версии: файл или папка заняты "
                                   "другой программой или защищены от изменения. Установленная "
                                   "программа не изменена. Закройте программы, которые могут "
                                   "использовать её файлы, и нажмите «Повторить».")
                        .arg(QDir::toNativeSeparators(installed));
            return false;
        }
    }
    return true;
}

// What an earlier run that was killed during an update left: the earlier
// release put back, or, after a whole copy, dropped.
bool finishInterruptedUpdate(const QString &installFolder, QString &error)
{
    const QString aside = asideFolder(installFolder), done = asideFolder(installFolder, true);
    switch (unfinishedUpdate(QFileInfo(aside).isDir() && !isLinkEntry(aside),
                             QFileInfo::exists(done) || isLinkEntry(done))) {
    case Unfinished::None:
        break;
    case Unfinished::Drop:
        removeTreeNoFollow(done);
        break;
    case Unfinished::PutBack:
        removeTreeNoFollow(done);
        return putBack(installFolder, error);
    }
    return true;
}

} // namespace
