#pragma once

#include <atomic>
#include <cstddef>

namespace Http {

// Measures how deep a stackful coroutine goes below the point where the probe
// was made. The coroutines' stacks have no guard page, so a handler that
// outgrows one corrupts the heap silently; this is how tests learn the margin.
// It fills the unused part of the stack with a pattern and, when it goes out
// of scope, finds the lowest byte that was written since.
class StackProbe
{
public:
    // Probes nothing when record is null. stack_size is the coroutine's whole
    // stack; the probe keeps well inside it.
    StackProbe(std::atomic<std::size_t>* record, std::size_t stack_size);
    ~StackProbe();

    StackProbe(const StackProbe&) = delete;
    StackProbe& operator=(const StackProbe&) = delete;

private:
    std::atomic<std::size_t>* m_record;
    char* m_top = nullptr;
    char* m_bottom = nullptr;
};

} // namespace Http
