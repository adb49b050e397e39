#include "WarningCounter.h"

namespace Vondra::Testing {

namespace {

std::atomic<WarningCounter*> current { nullptr };

} // namespace

WarningCounter::WarningCounter(const QString& prefix)
    : m_prefix(prefix)
{
    current = this;
    m_previous = qInstallMessageHandler(&WarningCounter::handle);
}

WarningCounter::~WarningCounter()
{
    qInstallMessageHandler(m_previous);
    current = nullptr;
}

void WarningCounter::handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    WarningCounter* counter = current.load();
    if (counter && type == QtWarningMsg && message.startsWith(counter->m_prefix)) {
        ++counter->m_count;
        return;
    }
    if (counter && counter->m_previous)
        counter->m_previous(type, context, message);
}

} // namespace Vondra::Testing
