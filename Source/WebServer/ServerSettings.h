#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Http {

struct ServerSettings
{
    unsigned short port = 80;
    // Threads that run the I/O service: the caller of start() and the workers.
    std::size_t thread_count = 1;
    // Empty: every IPv4 address. Otherwise an IPv4 or IPv6 address in text form.
    std::string address;
    bool reuse_address = true;
    // One client must not make the server allocate without bound: a head or a
    // declared body beyond these ends the connection.
    std::size_t max_head_size = 64 * 1024;
    std::uint64_t max_content_length = 16 * 1024 * 1024;
    // Records the deepest use of the connection coroutines' stacks, where the
    // handlers run; costs two passes over each stack, so it is for tests and
    // diagnosis only.
    bool measure_stack_use = false;
};

} // namespace Http
