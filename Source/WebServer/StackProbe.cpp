#include "StackProbe.h"

#include <cstring>

namespace Http {

namespace {

constexpr unsigned char pattern = 0xa5;
// The coroutine's own records sit above the probe, and the frames of the
// painting call itself just below it: stay clear of both.
constexpr std::size_t reservedAbove = 16 * 1024;
constexpr std::size_t reservedBelow = 1024;

__attribute__((noinline)) void paint(char* bottom, char* end)
{
    std::memset(bottom, pattern, std::size_t(end - bottom));
}

__attribute__((noinline)) char* lowestTouched(char* bottom, char* end)
{
    char* at = bottom;
    while (at < end && static_cast<unsigned char>(*at) == pattern)
        ++at;
    return at;
}

} // namespace

StackProbe::StackProbe(std::atomic<std::size_t>* record, std::size_t stack_size)
    : m_record(record)
{
    if (!m_record || stack_size <= reservedAbove + reservedBelow)
        return;
    m_top = static_cast<char*>(__builtin_frame_address(0));
    m_bottom = m_top - (stack_size - reservedAbove);
    paint(m_bottom, m_top - reservedBelow);
}

StackProbe::~StackProbe()
{
    if (!m_top)
        return;
    const std::size_t depth = std::size_t(m_top - lowestTouched(m_bottom, m_top - reservedBelow));
    std::size_t deepest = m_record->load();
    while (depth > deepest && !m_record->compare_exchange_weak(deepest, depth)) { }
}

} // namespace Http
