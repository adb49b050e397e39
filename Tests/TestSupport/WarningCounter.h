#pragma once

#include <QString>

#include <atomic>

namespace Vondra::Testing {

// Counts the warnings, from any thread, whose text starts with prefix and
// keeps them out of the test's output; every other message goes on as before.
// One at a time: the message handler is process-wide, and it is put back when
// the counter goes, also when a failed check leaves the test early.
class WarningCounter
{
public:
    explicit WarningCounter(const QString& prefix);
    ~WarningCounter();
    WarningCounter(const WarningCounter&) = delete;
    WarningCounter& operator=(const WarningCounter&) = delete;

    int count() const { return m_count.load(); }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& message);

    const QString m_prefix;
    std::atomic<int> m_count { 0 };
    QtMessageHandler m_previous;
};

} // namespace Vondra::Testing
