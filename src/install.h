// The install sequence behind the Install button.
#pragma once

#include "folderguard.h"
#include "integration.h"
#include "pipeline.h"
#include "release.h"
#include "window.h"

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
    if (installFolder.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Tambrix"),
                             QStringLiteral("Укажите папку установки."), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return;
    }
    // Judged as typed as well as cleaned: cleaning turns some spellings
    // (\\?\Volume{…}\, \\.\C:) into other, relative paths.
    const FolderVerdict verdict = checkInstallFolder(typed);
    if (verdict.kind != FolderVerdict::Kind::Fine) {
        QMessageBox::warning(this, QStringLiteral("Tambrix"), refusalMessage(typed, verdict),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    // One installation at a time: a second one would download into the same
    // file and clear the stage under the first, which then starts a program
    // copied only in part.
    InstallHold hold;
    if (!hold.acquire()) {
        QMessageBox::warning(this, QStringLiteral("Tambrix"),
                             QStringLiteral("Tambrix Desktop уже устанавливается в другом окне "
                                            "установщика. Дождитесь, пока установка в нём "
                                            "закончится, и попробуйте ещё раз."),
                             QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }
    if (const QString text = ownershipQuestion(installFolder);
        !text.isEmpty() && !askYesNo(text, this))
        return;
    // The deployment ends every running copy by force; asked here, before
    // anything is downloaded, so that unsaved work is never lost unasked.
    const QList<qint64> agreedToEnd = runningAppProcesses();
    if (!agreedToEnd.isEmpty() && !askYesNo(runningAppQuestion(), this))
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

    // With no usable temporary folder the location comes back empty, and the
    // work folder would land at the root of the file system.
    const QString tempRoot = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (tempRoot.isEmpty() || QDir::isRelativePath(tempRoot)) {
        fail(QStringLiteral("Ошибка загрузки: Не удалось создать файл загрузки"));
        return;
    }
    QDir().mkpath(tempRoot);
    // The stage below it is where Expand-Archive unpacks to.
    const QString workRoot = wildcardFreeFolder(tempRoot);
    if (workRoot.isEmpty()) {
        fail(QStringLiteral("Временная папка %1 содержит символ [, ], * или ?: PowerShell не "
                            "распакует в неё архив. Укажите в переменных TEMP и TMP папку без "
                            "этих символов.")
                 .arg(QDir::toNativeSeparators(tempRoot)));
        return;
    }
    QString refusedFolder;
    bool notFolder = false;
    const QString workFolder = prepareWorkFolder(workRoot, refusedFolder, notFolder);
    if (workFolder.isEmpty()) {
        const QString native = QDir::toNativeSeparators(refusedFolder);
        if (notFolder)
            fail(QStringLiteral("Ошибка загрузки: рабочая папка %1 — не обычная папка (ссылка "
                                "или файл). Удалите её и попробуйте ещё раз.")
                     .arg(native));
        else if (!QFileInfo(refusedFolder).isDir())
            fail(QStringLiteral("Ошибка загрузки: Не удалось создать файл загрузки"));
        else
            fail(QStringLiteral("Ошибка загрузки: рабочую папку %1 создал другой пользователь "
                                "(или в неё могут писать другие), и установщик ей не доверяет. "
                                "Попросите администратора удалить её или укажите в переменных "
                                "TEMP и TMP свою папку.")
                     .arg(native));
        return;
    }
    const QString packageFile =
        workFolder + QStringLiteral("/TambrixDesktop-%1.zip").arg(manifest.version);
    const QString executable = appExecutableIn(installFolder);

    // Only a plain file left by an earlier run counts, and only when its
    // digest can be matched: without one, a package cut short by a killed
    // run would be taken again on every retry.
    if (!manifest.sha256.isEmpty() && QFileInfo(packageFile).isFile() &&
        !isLinkEntry(packageFile) && verifySha256(packageFile, manifest.sha256)) {
        const qint64 n = manifest.size > 0 ? manifest.size : 1;
        setDownloadProgress(n, n);
    } else if (const QString full = downloadSpaceProblem(manifest, packageFile); !full.isEmpty()) {
        fail(full);
        return;
    } else if (!downloadToFile(manifest, packageFile, error)) {
        fail(QStringLiteral("Ошибка загрузки: %1").arg(error));
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
    // A copy started during the download (from the Start menu, say) was not
    // part of the answer at Install: it is asked about before it is ended.
    if (const QList<qint64> running = runningAppProcesses();
        std::any_of(running.begin(), running.end(),
                    [&](qint64 pid) { return !agreedToEnd.contains(pid); }) &&
        !askYesNo(runningAppQuestion(), this)) {
        showFailure(QStringLiteral("Установка остановлена: Tambrix Desktop запущен, а закрыть его "
                                   "вы не разрешили. Закройте Tambrix Desktop и нажмите "
                                   "«Повторить»."));
        return;
    }
    if (!deployPackage(installFolder, packageFile, workFolder, manifest.version, error)) {
        fail(error);
        return;
    }

    markStage("deployed");
    // These steps do not stop the installation; what went wrong is collected
    // and shown with the final texts.
    QStringList warnings;
    QString shortcutError;
    if (startMenuBox->isChecked()) {
        const QString link =
            QDir(QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation))
                .filePath(QStringLiteral("Tambrix.lnk"));
        if (!createShortcut(link, executable, installFolder, shortcutError)) {
            updDetail->setText(shortcutError);
            warnings << QStringLiteral("ярлык в меню «Пуск» не создан: %1").arg(shortcutError);
        }
    }
    if (desktopBox->isChecked()) {
        const QString link = QDir(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation))
                                 .filePath(QStringLiteral("Tambrix.lnk"));
        if (!createShortcut(link, executable, installFolder, shortcutError)) {
            updDetail->setText(shortcutError);
            warnings << QStringLiteral("ярлык на рабочем столе не создан: %1").arg(shortcutError);
        }
    }
    if (writeUninstallScript(installFolder)) {
        if (!registerArpEntry(installFolder, manifest.version))
            warnings << QStringLiteral("программа не добавлена в список установленных: не "
                                       "удалось записать раздел реестра");
    } else {
        updDetail->setText(QStringLiteral("Не удалось записать Uninstall.cmd"));
        warnings << QStringLiteral("Uninstall.cmd не записан, программы не будет в списке "
                                   "установленных");
    }

    markStage("integrated");
    setStatus(QStringLiteral("Готово — запускаем Tambrix…"));
    QString detail = QStringLiteral("v%1 → %2").arg(manifest.version, installFolder);
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

    QProcess::startDetached(executable, QStringList(), installFolder);
    markStage("launched");
    QTimer::singleShot(closeDelayMs, this, &QDialog::accept);
}

} // namespace
