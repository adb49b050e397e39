#include "TraceLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMutex>
#include <QMutexLocker>

namespace Vondra {

namespace {

QMutex traceMutex;

// Set while this thread writes a line: anything the writing itself logs would
// otherwise come back here and wait for the lock it holds.
thread_local bool writingLine = false;

QString lineTemplate(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug: %1 (%2:%3, %4)");
    case QtInfoMsg:
        return QStringLiteral("Info: %1 (%2:%3, %4)");
    case QtWarningMsg:
        return QStringLiteral("Warning: %1 (%2:%3, %4)");
    case QtCriticalMsg:
        return QStringLiteral("Critical: %1 (%2:%3, %4)");
    case QtFatalMsg:
        break;
    }
    return QStringLiteral("Fatal: %1 (%2:%3, %4)");
}

void setAside(const QString& filePath)
{
    const QString previous = filePath + QStringLiteral(".1");
    QFile::remove(previous);
    QFile::rename(filePath, previous);
}

// Each line goes out in one write, so a buffer would only copy it.
constexpr QIODevice::OpenMode appendMode = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;

void appendLocked(const QString& filePath, const QString& line)
{
    QFile file(filePath);
    if (!file.open(appendMode))
        return;
    if (file.size() > TraceLog::rotationSize) {
        file.close();
        setAside(filePath);
        if (!file.open(appendMode))
            return;
    }
    // The bytes a QTextStream in its default (locale) encoding would write,
    // in one write and without setting up a stream for every line.
    file.write((line + QLatin1Char('\n')).toLocal8Bit());
}

// Fixed once the application object exists, so that messages logged while it
// is torn down still reach the program's own trace file.
QString traceFilePathLocked()
{
    static QString path;
    if (path.isEmpty() && QCoreApplication::instance())
        path = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("trace.log"));
    return path;
}

// Never throws: a line that cannot be written is lost like one whose file
// cannot be opened, and the thread goes on logging.
template <typename Write> void serialised(const Write& write) noexcept
{
    if (writingLine)
        return;
    writingLine = true;
    try {
        QMutexLocker lock(&traceMutex);
        write();
    } catch (...) {
    }
    writingLine = false;
}

} // namespace

QString TraceLog::formatLine(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const QString text = QString::fromUtf8(message.toLocal8Bit());
    return lineTemplate(type).arg(
        text, QString::fromLatin1(context.file), QString::number(context.line), QString::fromLatin1(context.function));
}

void TraceLog::append(const QString& filePath, const QString& line)
{
    serialised([&] { appendLocked(filePath, line); });
}

void traceMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    serialised([&] {
        const QString path = traceFilePathLocked();
        if (!path.isEmpty())
            appendLocked(path, TraceLog::formatLine(type, context, message));
    });
}

} // namespace Vondra
