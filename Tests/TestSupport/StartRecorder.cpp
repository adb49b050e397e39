#include "StartRecorder.h"

#include "BuiltPrograms.h"
#include "TestFiles.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Vondra::Testing {

QString startRecorderPath()
{
    return testProgram(QStringLiteral("start_recorder"));
}

QList<RecordedStart> recordedStarts(const QString& directory)
{
    QList<RecordedStart> starts;
    const QList<QByteArray> lines = readFile(QDir(directory).filePath(QStringLiteral("starts.jsonl"))).split('\n');
    for (const QByteArray& line : lines) {
        if (line.isEmpty())
            continue;
        const QJsonObject start = QJsonDocument::fromJson(line).object();
        RecordedStart recorded;
        for (const QJsonValue& argument : start.value(QStringLiteral("arguments")).toArray())
            recorded.arguments.append(argument.toString());
        recorded.directory = start.value(QStringLiteral("directory")).toString();
        starts.append(recorded);
    }
    return starts;
}

} // namespace Vondra::Testing
