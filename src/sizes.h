// Sizes as the installer shows them, in the window and in its messages.
#pragma once

#include <QString>
#include <QtGlobal>

namespace {

// Sizes are always shown in MB with the C locale, whatever the user's locale.
QString formatBytes(qint64 bytes)
{
    if (bytes < 0)
        return QString();
    const double mb = double(bytes) * 9.5367431640625e-07;
    const int decimals = mb >= 100 ? 0 : (mb >= 10 ? 1 : 2);
    return QStringLiteral("%1 MB").arg(QString::number(mb, 'f', decimals));
}

} // namespace
