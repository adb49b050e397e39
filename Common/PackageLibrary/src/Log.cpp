#include "Updater/Log.h"

#include <QMutex>
#include <QTextCodec>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace Updater {

class LogPrivate
{
public:
    std::unique_ptr<LogDevice> device;
    QMutex mutex;
    bool redirected = false;
};

namespace {

// The logs this thread is writing to right now. A device that itself uses
// qDebug(), or a slot of a signal device that logs again, must neither loop
// back into the same log nor take its lock a second time; such an entry goes
// to stderr (or to the handler that was there before).
thread_local std::vector<const LogPrivate*> logsBeingWritten;

// The process has one Qt message handler; every log that redirects Qt
// messages is listed here, and the handler that was there before ours gets
// the messages back when the last of them stops.
class MessageRedirection
{
public:
    static MessageRedirection& instance()
    {
        static MessageRedirection redirection;
        return redirection;
    }

    void add(LogPrivate* log)
    {
        QMutexLocker lock(&m_mutex);
        if (std::find(m_logs.begin(), m_logs.end(), log) != m_logs.end())
            return;
        m_logs.push_back(log);
        if (!m_installed) {
            m_previous = qInstallMessageHandler(&MessageRedirection::handle);
            m_installed = true;
        }
    }

    void remove(LogPrivate* log)
    {
        QMutexLocker lock(&m_mutex);
        m_logs.erase(std::remove(m_logs.begin(), m_logs.end(), log), m_logs.end());
        if (!m_logs.empty() || !m_installed)
            return;
        // Someone may have installed a handler on top of ours and will call
        // ours in turn; then ours stays and passes everything on.
        const QtMessageHandler current = qInstallMessageHandler(m_previous);
        if (current != &MessageRedirection::handle) {
            qInstallMessageHandler(current);
            return;
        }
        m_installed = false;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        instance().dispatch(type, context, message);
    }

    void dispatch(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        // Checked before taking the lock: this thread may hold a log's lock
        // that another thread, holding ours, is waiting for.
        if (!logsBeingWritten.empty()) {
            forward(type, context, message);
            return;
        }
        QMutexLocker lock(&m_mutex);
        if (m_logs.empty()) {
            forward(type, context, message);
            return;
        }
        for (LogPrivate* log : m_logs)
            write(log, levelOf(type), message);
    }

    void forward(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        if (const QtMessageHandler previous = m_previous.load()) {
            previous(type, context, message);
            return;
        }
        const QByteArray line = message.toLocal8Bit() + '\n';
        fwrite(line.constData(), 1, size_t(line.size()), stderr);
    }

    static LogEntry::Level levelOf(QtMsgType type)
    {
        switch (type) {
        case QtDebugMsg:
            return LogEntry::Debug;
        case QtInfoMsg:
            return LogEntry::Info;
        case QtWarningMsg:
            return LogEntry::Warning;
        case QtCriticalMsg:
        case QtFatalMsg:
            return LogEntry::Error;
        }
        return LogEntry::Info;
    }

public:
    static void write(LogPrivate* log, LogEntry::Level level, const QString& message)
    {
        LogEntry entry;
        entry.time = QDateTime::currentDateTimeUtc();
        entry.level = level;
        entry.message = message;
        if (std::find(logsBeingWritten.begin(), logsBeingWritten.end(), log) != logsBeingWritten.end()) {
            const QByteArray line = entry.toLine().toLocal8Bit() + '\n';
            fwrite(line.constData(), 1, size_t(line.size()), stderr);
            return;
        }
        logsBeingWritten.push_back(log);
        {
            QMutexLocker lock(&log->mutex);
            if (log->device)
                log->device->write(entry);
        }
        logsBeingWritten.pop_back();
    }

private:
    QMutex m_mutex;
    std::vector<LogPrivate*> m_logs;
    std::atomic<QtMessageHandler> m_previous { nullptr };
    bool m_installed = false;
};

// The text is UTF-8 by preference; callers that hand over Latin-1 bytes (as
// QString::toLatin1() gives them) get them back unchanged instead of
// replacement characters.
QString decode(const QByteArray& bytes)
{
    QTextCodec::ConverterState state;
    const QString text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    if (state.invalidChars == 0 && state.remainingChars == 0)
        return text;
    return QString::fromLatin1(bytes);
}

QString formatted(const char* format, va_list arguments)
{
    if (!format)
        return QString();
    std::vector<char> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, arguments);
        const int needed = std::vsnprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (needed < 0)
            return decode(QByteArray(format));
        if (size_t(needed) < buffer.size())
            return decode(QByteArray(buffer.data(), needed));
        buffer.resize(size_t(needed) + 1);
    }
}

} // namespace

Log::Log(LogDevice* device)
    : d(std::make_unique<LogPrivate>())
{
    d->device.reset(device);
    setQDebugMessagesRedirected(true);
}

Log::~Log()
{
    setQDebugMessagesRedirected(false);
}

void Log::setQDebugMessagesRedirected(bool redirected)
{
    if (redirected == d->redirected)
        return;
    d->redirected = redirected;
    if (redirected)
        MessageRedirection::instance().add(d.get());
    else
        MessageRedirection::instance().remove(d.get());
}

bool Log::isQDebugMessagesRedirected() const
{
    return d->redirected;
}

void Log::logDebug(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    log(LogEntry::Debug, formatted(format, arguments));
    va_end(arguments);
}

void Log::logInfo(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    log(LogEntry::Info, formatted(format, arguments));
    va_end(arguments);
}

void Log::logWarning(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    log(LogEntry::Warning, formatted(format, arguments));
    va_end(arguments);
}

void Log::logError(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    log(LogEntry::Error, formatted(format, arguments));
    va_end(arguments);
}

void Log::log(LogEntry::Level level, const QString& message)
{
    MessageRedirection::write(d.get(), level, message);
}

} // namespace Updater
