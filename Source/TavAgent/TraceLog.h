#pragma once

#include <QString>
#include <QtGlobal>

namespace Vondra {

// Qt message handler of the agent: every message, from any thread, becomes one
// line of "trace.log" in the program's directory.
void traceMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

class TraceLog
{
public:
    // Past this size the file is set aside as "<name>.1" before the next line.
    static constexpr qint64 rotationSize = 8 * 1024 * 1024;

    // "Debug: text (file:line, function)" and its siblings for the other types.
    static QString formatLine(QtMsgType type, const QMessageLogContext& context, const QString& message);

    // Appends one line to filePath: opened, written and closed again, one
    // caller at a time, so lines of concurrent callers never interleave.
    static void append(const QString& filePath, const QString& line);
};

} // namespace Vondra
