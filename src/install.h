// The install sequence behind the Install button.
#pragma once

#include "integration.h"
#include "pipeline.h"
#include "release.h"
#include "window.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStringList>
#include <QTimer>

#include <functional>

namespace {

#ifdef TAMBRIX_TEST_SEAMS
// Lets the fault tests act on the package between its arrival and the
// checksum, as another program might.
std::function<void(const QString &)> testAfterPackageReady;
#endif

constexpr int closeDelayMs = 600;
// Long enough to read a warning of a step that did not stop the installation.
constexpr int closeDelayWithWarningsMs = 4000;

// Whether `folder` is `other` or one of the folders that contain it.
bool sameOrAncestor(const QString &folder, const QString &other)
{
#ifdef Q_OS_WIN
    const Qt::CaseSensitivity cs = Qt::CaseInsensitive;
#else
    const Qt::CaseSensitivity cs = Qt::CaseSensitive;
#endif
    return other.compare(folder, cs) == 0 || other.startsWith(folder + QLatin1Char('/'), cs);
}

// Uninstall.cmd removes the install folder with everything in it, so the
// folder must be one of its own: never a drive or file-system root, never one
// of the user's standard folders, and never a folder that holds one of them
// (C:/Users, the AppData folder). Their sub-folders are fine.
bool isProtectedFolder(const QString &installFolder)
{
    const QString folder = QDir::cleanPath(QDir(installFolder).absolutePath());
    static const QRegularExpression driveRoot(QStringLiteral("^[A-Za-z]:/?$"));
    if (QDir(folder).isRoot() || driveRoot.match(folder).hasMatch() ||
        driveRoot.match(installFolder).hasMatch())
        return true;

    QStringList protectedFolders;
    for (const auto location : {QStandardPaths::HomeLocation, QStandardPaths::DesktopLocation,
                                QStandardPaths::DocumentsLocation, QStandardPaths::DownloadLocation,
                                QStandardPaths::TempLocation, QStandardPaths::GenericDataLocation,
                                QStandardPaths::ApplicationsLocation})
        protectedFolders << QStandardPaths::writableLocation(location);
    protectedFolders << qEnvironmentVariable("LOCALAPPDATA") << qEnvironmentVariable("APPDATA")
                     << qEnvironmentVariable("USERPROFILE");
    for (const QString &candidate : std::as_const(protectedFolders)) {
        if (candidate.isEmpty())
            continue;
        if (sameOrAncestor(folder, QDir::cleanPath(QDir(candidate).absolutePath())))
            return true;
    }
    return false;
}

void SetupDialog::startInstall()
{
    const QString installFolder = QDir::cleanPath(pathEdit->text().trimmed());
    if (installFolder.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Tambrix"),
                             QStringLiteral("Укажите папку установки."), QMessageBox::Ok,
                             QMessageBox::NoButton);
        return;
    }
    if (isProtectedFolder(installFolder)) {
        QMessageBox::warning(
            this, QStringLiteral("Tambrix"),
            QStringLiteral("Папка «%1» не подходит для установки: при удалении программы папка "
                           "установки удаляется целиком. Укажите отдельную папку, например "
                           "«%2».")
                .arg(installFolder, QDir(installFolder).filePath(QStringLiteral("Tambrix"))),
            QMessageBox::Ok, QMessageBox::NoButton);
        return;
    }

    enterBusyState();
    updStatus->setText(QStringLiteral("Получение информации о версии…"));
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
    updStatus->setText(QStringLiteral("Загрузка Tambrix Desktop…"));
    QCoreApplication::processEvents();

    // With no usable temporary folder the location comes back empty, and the
    // work folder would land at the root of the file system.
    const QString tempRoot = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (tempRoot.isEmpty() || QDir::isRelativePath(tempRoot)) {
        fail(QStringLiteral("Ошибка загрузки: Не удалось создать файл загрузки"));
        return;
    }
    const QString workFolder = tempRoot + QLatin1String("/TambrixSetup");
    QDir().mkpath(workFolder);
    const QString packageFile =
        workFolder + QStringLiteral("/TambrixDesktop-%1.zip").arg(manifest.version);
    const QString executable = appExecutableIn(installFolder);

    if (QFile::exists(packageFile) && verifySha256(packageFile, manifest.sha256)) {
        const qint64 n = manifest.size > 0 ? manifest.size : 1;
        setDownloadProgress(n, n);
    } else if (!downloadToFile(manifest, packageFile, error)) {
        fail(QStringLiteral("Ошибка загрузки: %1").arg(error));
        return;
    }

    markStage("downloaded");
#ifdef TAMBRIX_TEST_SEAMS
    if (testAfterPackageReady)
        testAfterPackageReady(packageFile);
#endif
    updStatus->setText(QStringLiteral("Проверка контрольной суммы…"));
    updDetail->setText(QStringLiteral("SHA-256"));
    QCoreApplication::processEvents();
    if (!verifySha256(packageFile, manifest.sha256)) {
        QFile::remove(packageFile);
        fail(QStringLiteral("Контрольная сумма не совпала. Попробуйте ещё раз."));
        return;
    }

    markStage("verified");
    updStatus->setText(QStringLiteral("Установка…"));
    updDetail->setText(QStringLiteral("Распаковка в %1").arg(installFolder));
    QCoreApplication::processEvents();
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
        registerArpEntry(installFolder, manifest.version);
    } else {
        updDetail->setText(QStringLiteral("Не удалось записать Uninstall.cmd"));
        warnings << QStringLiteral("Uninstall.cmd не записан, программы не будет в списке "
                                   "установленных");
    }

    markStage("integrated");
    updStatus->setText(QStringLiteral("Готово — запускаем Tambrix…"));
    QString detail = QStringLiteral("v%1 → %2").arg(manifest.version, installFolder);
    if (!warnings.isEmpty()) {
        updDetail->setWordWrap(true);
        detail +=
            QLatin1Char('\n') + QStringLiteral("Внимание: ") + warnings.join(QStringLiteral("; "));
    }
    updDetail->setText(detail);
    updBar->setRange(0, 100);
    updBar->setValue(100);
    QCoreApplication::processEvents();

    QProcess::startDetached(executable, QStringList(), installFolder);
    markStage("launched");
    QTimer::singleShot(warnings.isEmpty() ? closeDelayMs : closeDelayWithWarningsMs, this,
                       &QDialog::accept);
}

} // namespace
