// libFuzzer target: everything the server derives from a head without a
// socket must cope with any bytes a client sends.

#include "RequestHead.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t end = Http::find_head_end(bytes, size / 2);
    if (end > size || (end != 0 && bytes.substr(end - 4, 4) != "\r\n\r\n"))
        std::abort();

    Http::RequestHead head;
    if (!Http::parse_head(end != 0 ? bytes.substr(0, end) : bytes, head))
        return 0;
    std::uint64_t length = 0;
    Http::parse_content_length(head.headers, length);
    Http::declares_transfer_coding(head.headers);
    Http::keeps_alive(head.protocol_version, head.headers);
    for (const auto& [name, value] : head.headers) {
        if (name.find('\n') != std::string::npos || value.find('\n') != std::string::npos)
            std::abort(); // a header never spans lines
    }
    return 0;
}
