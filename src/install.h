// The install sequence behind the Install button: startInstall, which reads
// as its stages (mayStart, the manifest, obtainPackage, the checksum,
// mayEndRunningApp, deployPackage, integrate, finish).
#pragma once

#include "folderguard.h"
#include "integration.h"
#include "pipeline.h"
#include "product.h"
#include "release.h"
#include "running.h"
#include "thisuser.h"
#include "window.h"
#include "workfolder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace {

#ifdef TAMBRIX_TEST_SEAMS
// Lets the fault tests act on the package between its arrival and the
// checksum, as another program might.
std::function<void(const QString &)> testAfterPackageReady;
#endif

constexpr int closeDelayMs = 600;

QString runningAppQuestion()
{
    return QStringLiteral("Tambrix Desktop сейчас запущен. Чтобы установить новую версию, "
                          "установщик закроет его, и несохранённые изменения в нём будут "
                          "потеряны.\n\nЗакрыть Tambrix Desktop и продолжить установку?");
}

// A work folder without room for the package is said before the download,
// not found out half-way through it. The package that stands there now is
// removed before the download and counts as free.
QString downloadSpaceProblem(const Manifest &manifest, const QString &packageFile)
{
    if (manifest.size <= 0)
        return QString();
    const VolumeSpace space = volumeSpace(QFileInfo(packageFile).path());
    const qint64 needed = roundUpToBlocks(manifest.size, space.blockSize);
    const qint64 freed = QFileInfo(packageFile).isFile() && !isLinkEntry(packageFile)
                             ? roundUpToBlocks(QFileInfo(packageFile).size(), space.blockSize)
                             : 0;
    if (spaceShortfall(needed - freed, space.available) == 0)
        return QString();
    VolumeSpace free = space;
    free.available += freed;
    return spaceMessage("Ошибка загрузки: на диске %1 недостаточно места для загрузки: нужно %2, "
                        "свободно %3. Освободите место и нажмите «Повторить».",
                        free, needed);
}

// A question whose safe answer, No, is the default and what Escape gives.
bool askYesNo(const QString &text, QWidget *parent)
{
    QMessageBox question(QMessageBox::Question, QStringLiteral("Tambrix"), text,
                         QMessageBox::Yes | QMessageBox::No, parent);
    question.button(QMessageBox::Yes)->setText(QStringLiteral("Да"));
    question.button(QMessageBox::No)->setText(QStringLiteral("Нет"));
    question.setDefaultButton(QMessageBox::No);
    question.setEscapeButton(QMessageBox::No);
    return question.exec() == QMessageBox::Yes;
}

void SetupDialog::startInstall()
{
    const QString typed = pathEdit->text().trimmed();
    const QString installFolder = QDir::cleanPath(typed);
    InstallHold hold;
    QList<qint64> agreedToEnd;
    if (!mayStart(typed, hold, agreedToEnd))
        return;

    enterBusyState();
    setStatus(QStringLiteral("Получение информации о версии…"));
    updDetail->setText(QStringLiteral("Подготовка…"));
    QCoreApplication::processEvents();

    Manifest manifest{};
    QString error;
    markStage("start");
    if (!fetchManifest(manifest, error)) {
        fail(QStringLiteral("Не удалось получить manifest: %1").arg(error));
        return;
    }

    markStage("manifest");
    updVersion->setText(QStringLiteral("v%1").arg(manifest.version));
    setStatus(QStringLiteral("Загрузка Tambrix Desktop…"));
    QCoreApplication::processEvents();

    QString workFolder;
    if (!prepareWorkFolder(workFolder, error)) {
        fail(error);
        return;
    }
    const QString packageFile =
        workFolder + QStringLiteral("/TambrixDesktop-%1.zip").arg(manifest.version);
    if (!obtainPackage(manifest, packageFile, error)) {
        fail(error);
        return;
    }

    markStage("downloaded");
#ifdef TAMBRIX_TEST_SEAMS
    if (testAfterPackageReady)
        testAfterPackageReady(packageFile);
#endif
    setStatus(QStringLiteral("Проверка контрольной суммы…"));
    updDetail->setText(QStringLiteral("SHA-256"));
    QCoreApplication::processEvents();
    if (!verifySha256(packageFile, manifest.sha256)) {
        QFile::remove(packageFile);
        fail(QStringLiteral("Контрольная сумма не совпала. Попробуйте ещё раз."));
        return;
    }

    markStage("verified");
    setStatus(QStringLiteral("Установка…"));
    updDetail->setText(QStringLiteral("Распаковка в %1").arg(installFolder));
    QCoreApplication::processEvents();
    if (!mayEndRunningApp(agreedToEnd))
        return;
    endAppCopies(agreedToEnd);
    if (!deployPackage(installFolder, packageFile, workFolder, manifest.version, error)) {
        fail(error);
        return;
    }

    markStage("deployed");
    finish(installFolder, manifest.version, integrate(installFolder, manifest.version));
}

// Before anything is fetched: a folder every reader agrees on and that is
// the user's own, the one installation of this user, the user's word on a
// folder that holds something else, and on the copies of the application
// that run now (the ones agreed to are ended by force before the copy).
bool SetupDialog::mayStart(const QString &typed, InstallHold &hold, QList<qint64> &agreedToEnd)
{
    if (QDir::cleanPath(typed).isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Tambrix"),
                             QStringLiteral("Укажите папку установки."), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return false;
    }
    // Judged as typed as well as cleaned: cleaning turns some spellings
    // (\\?\Volume{…}\, \\.\C:) into other, relative paths.
    const FolderVerdict verdict = checkInstallFolder(typed);
    if (verdict.kind != FolderVerdict::Kind::Fine) {
        QMessageBox::warning(this, QStringLiteral("Tambrix"), refusalMessage(typed, verdict),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    // One installation at a time: a second one would download into the same
    // file and clear the stage under the first, which then starts a program
    // copied only in part.
    if (!hold.acquire()) {
        QMessageBox::warning(this, QStringLiteral("Tambrix"),
                             QStringLiteral("Tambrix Desktop уже устанавливается в другом окне "
                                            "установщика. Дождитесь, пока установка в нём "
                                            "закончится, и попробуйте ещё раз."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return false;
    }
    if (const QString text = ownershipQuestion(QDir::cleanPath(typed));
        !text.isEmpty() && !askYesNo(text, this))
        return false;
    agreedToEnd = runningAppProcesses();
    return agreedToEnd.isEmpty() || askYesNo(runningAppQuestion(), this);
}

// The package of an earlier run when its digest still matches, or a
// download when there is room for it.
bool SetupDialog::obtainPackage(const Manifest &manifest, const QString &packageFile,
                                QString &error)
{
    // Only a plain file left by an earlier run counts, and only when its
    // digest can be matched: without one, a package cut short by a killed
    // run would be taken again on every retry.
    if (!manifest.sha256.isEmpty() && QFileInfo(packageFile).isFile() &&
        !isLinkEntry(packageFile) && verifySha256(packageFile, manifest.sha256)) {
        const qint64 n = manifest.size > 0 ? manifest.size : 1;
        setDownloadProgress(n, n);
        return true;
    }
    error = downloadSpaceProblem(manifest, packageFile);
    if (!error.isEmpty())
        return false;
    if (downloadToFile(manifest, packageFile, error))
        return true;
    error = QStringLiteral("Ошибка загрузки: %1").arg(error);
    return false;
}

// A copy started during the download (from the Start menu, say) was not
// part of the answer at Install: it is asked about before it is ended.
// `agreedToEnd` becomes the copies that run now, all agreed to.
bool SetupDialog::mayEndRunningApp(QList<qint64> &agreedToEnd)
{
    const QList<qint64> running = runningAppProcesses();
    const bool asked = std::all_of(running.begin(), running.end(),
                                   [&](qint64 pid) { return agreedToEnd.contains(pid); });
    agreedToEnd = running;
    if (asked || askYesNo(runningAppQuestion(), this))
        return true;
    showFailure(QStringLiteral("Установка остановлена: Tambrix Desktop запущен, а закрыть его "
                               "вы не разрешили. Закройте Tambrix Desktop и нажмите "
                               "«Повторить»."));
    return false;
}

// Shortcuts, Uninstall.cmd and the Add/Remove Programs entry. None of them
// stops the installation: what went wrong comes back, to be shown.
QStringList SetupDialog::integrate(const QString &installFolder, const QString &version)
{
    const QString executable = appExecutableIn(installFolder);
    QStringList warnings;
    QString shortcutError;
    const struct
    {
        QCheckBox *box;
        QStandardPaths::StandardLocation location;
        const char *failed;
    } shortcuts[] = {
        {startMenuBox, QStandardPaths::ApplicationsLocation, "ярлык в меню «Пуск» не создан: %1"},
        {desktopBox, QStandardPaths::DesktopLocation, "ярлык на рабочем столе не создан: %1"},
    };
    for (const auto &shortcut : shortcuts) {
        const QString link = QDir(QStandardPaths::writableLocation(shortcut.location))
                                 .filePath(QLatin1String(shortcutName));
        if (shortcut.box->isChecked() &&
            !createShortcut(link, executable, installFolder, shortcutError)) {
            updDetail->setText(shortcutError);
            warnings << QString::fromUtf8(shortcut.failed).arg(shortcutError);
        }
    }
    if (writeUninstallScript(installFolder)) {
        if (!registerArpEntry(installFolder, version))
            warnings << QStringLiteral("программа не добавлена в список установленных: не "
                                       "удалось записать раздел реестра");
    } else {
        updDetail->setText(QStringLiteral("Не удалось записать Uninstall.cmd"));
        warnings << QStringLiteral("Uninstall.cmd не записан, программы не будет в списке "
                                   "установленных");
    }
    markStage("integrated");
    return warnings;
}

// The final texts, the warnings whole, the application started, and the
// window closed a moment later.
void SetupDialog::finish(const QString &installFolder, const QString &version,
                         const QStringList &warnings)
{
    setStatus(QStringLiteral("Готово — запускаем Tambrix…"));
    QString detail = QStringLiteral("v%1 → %2").arg(version, installFolder);
    const QString warningText = QStringLiteral("Внимание: ") + warnings.join(QStringLiteral("; "));
    if (!warnings.isEmpty())
        detail += QLatin1Char('\n') + warningText;
    updDetail->setText(detail);
    updBar->setRange(0, 100);
    updBar->setValue(100);
    QCoreApplication::processEvents();

    // The warnings, whole and for as long as their reader needs: the window
    // has one line for them, and a timed close cuts a screen reader short.
    // The program starts once they have been read.
    if (!warnings.isEmpty())
        QMessageBox::warning(this, QStringLiteral("Tambrix"), warningText, QMessageBox::Ok,
                             QMessageBox::Ok);

    const QString executable = appExecutableIn(installFolder);
    QProcess::startDetached(executable, QStringList(), installFolder);
    markStage("launched");
    QTimer::singleShot(closeDelayMs, this, &QDialog::accept);
}

} // namespace
