// Stage timestamps for benchmark builds; nothing in the shipped program.
#pragma once

#ifdef TAMBRIX_STAGE_TIMES
#include <QByteArray>
#include <QDateTime>
#include <QFile>
#endif

namespace {

#ifdef TAMBRIX_STAGE_TIMES
// Benchmark builds only: appends "<stage> <ms since the epoch>" to the file
// named by TAMBRIX_STAGE_LOG, so a run can be broken down by stage.
void markStage(const char *stage)
{
    QFile log(qEnvironmentVariable("TAMBRIX_STAGE_LOG"));
    if (log.fileName().isEmpty() || !log.open(QIODevice::Append | QIODevice::Text))
        return;
    log.write(QByteArray(stage) + ' ' + QByteArray::number(QDateTime::currentMSecsSinceEpoch()) +
              '\n');
}
#else
inline void markStage(const char *) {}
#endif

} // namespace
