#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace Http {

// Header names compare without regard to ASCII letter case. Bytes outside ASCII
// are compared as they are, so the hash and the equality never disagree,
// whatever locale the process runs under.
struct CaseInsensitiveHash
{
    std::size_t operator()(const std::string& text) const noexcept;
};

struct CaseInsensitiveEqual
{
    bool operator()(const std::string& left, const std::string& right) const noexcept;
};

bool equalsIgnoringCase(std::string_view left, std::string_view right) noexcept;

using Headers = std::unordered_multimap<std::string, std::string, CaseInsensitiveHash, CaseInsensitiveEqual>;

// What the head of one request says, taken apart without touching a socket.
struct RequestHead
{
    std::string method;
    std::string path;
    std::string protocol_version;
    Headers headers;
};

// The end of the head: the offset just past the first CR LF CR LF in data, or 0
// when data holds none. The search starts at `from` (bytes already searched),
// less the three bytes a delimiter may have begun with.
std::size_t find_head_end(std::string_view data, std::size_t from = 0) noexcept;

// Parses the request line and the header lines of one head. Lines end at LF;
// a CR before it is not part of the line's text. The first line without a
// colon ends the headers. Returns false for a request line that is not
// "METHOD TARGET HTTP/VERSION".
bool parse_head(std::string_view head, RequestHead& result);

enum class ContentLength { Absent, Declared, Malformed };

// The declared body length, read as std::stoull reads base 10 (leading white
// space, an optional sign, digits up to the first non-digit). Malformed when a
// value has no digits or is out of range, or when several headers disagree:
// a body whose length depends on which header one believes has no length.
ContentLength parse_content_length(const Headers& headers, std::uint64_t& length);

// Whether the head names a transfer coding. Bodies are framed by
// Content-Length alone, so a request in chunks cannot be read: taken for one
// without a body, its chunks would be served as requests of their own.
bool declares_transfer_coding(const Headers& headers);

// Whether the connection stays open for another request once this one has been
// answered: only for versions above 1.05 and without "Connection: close".
bool keeps_alive(const std::string& protocol_version, const Headers& headers);

} // namespace Http
