#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace Vondra::Testing {

// One start of the recording program (built beside the tests as
// "start_recorder"), copied into a directory under a program's name.
struct RecordedStart
{
    QStringList arguments;
    QString directory; // the working directory it was started in
};

QString startRecorderPath();
// Every start of a recorder that lives in directory, in order.
QList<RecordedStart> recordedStarts(const QString& directory);

} // namespace Vondra::Testing
