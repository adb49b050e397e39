#include "RequestHead.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

namespace Http {

namespace {

char lowerAscii(char c) noexcept
{
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// Lines of the head as sent, each without its LF.
class LineReader
{
public:
    explicit LineReader(std::string_view text)
        : m_text(text)
    {
    }

    bool next(std::string_view& line)
    {
        if (m_position >= m_text.size())
            return false;
        std::size_t end = m_text.find('\n', m_position);
        if (end == std::string_view::npos)
            end = m_text.size();
        line = m_text.substr(m_position, end - m_position);
        m_position = end + 1;
        return true;
    }

private:
    std::string_view m_text;
    std::size_t m_position = 0;
};

// The CR that ends a line is not part of its text. A line that ends in a bare
// LF keeps its last character.
std::string_view withoutCr(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

bool parseRequestLine(std::string_view line, RequestHead& result)
{
    line = withoutCr(line);
    const std::size_t methodEnd = line.find(' ');
    if (methodEnd == std::string_view::npos)
        return false;
    const std::size_t pathEnd = line.find(' ', methodEnd + 1);
    if (pathEnd == std::string_view::npos)
        return false;
    const std::size_t slash = line.find('/', pathEnd + 1);
    if (slash == std::string_view::npos || line.substr(pathEnd + 1, slash - pathEnd - 1) != "HTTP")
        return false;
    result.method.assign(line.substr(0, methodEnd));
    result.path.assign(line.substr(methodEnd + 1, pathEnd - methodEnd - 1));
    result.protocol_version.assign(line.substr(slash + 1));
    return true;
}

// The value starts after the colon and one optional space. A line that ends
// right there (its colon or that space being the last byte sent) is not
// stored; one that ends in CR there stores an empty value.
void addHeader(std::string_view rawLine, std::size_t colon, Headers& headers)
{
    std::size_t valueStart = colon + 1;
    if (valueStart < rawLine.size() && rawLine[valueStart] == ' ')
        ++valueStart;
    if (valueStart >= rawLine.size())
        return;
    const std::string_view text = withoutCr(rawLine);
    headers.emplace(std::string(text.substr(0, colon)), std::string(text.substr(std::min(valueStart, text.size()))));
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// std::stof's reading (leading white space, an optional sign, the longest
// number), but always with '.' as decimal point: std::stof follows the
// process locale, which a Qt program takes from the environment.
bool parseVersionNumber(std::string_view text, float& value)
{
    std::size_t start = 0;
    while (start < text.size() && isSpace(text[start]))
        ++start;
    if (start < text.size() && text[start] == '+' && start + 1 < text.size() && text[start + 1] != '-')
        ++start;
    const char* end = text.data() + text.size();
    return std::from_chars(text.data() + start, end, value).ec == std::errc();
}

} // namespace

std::size_t CaseInsensitiveHash::operator()(const std::string& text) const noexcept
{
    std::size_t seed = 0;
    for (char c : text)
        seed ^= std::size_t(static_cast<unsigned char>(lowerAscii(c))) + 0x9e3779b9 + (seed << 6) + (seed >> 2);
    return seed;
}

bool CaseInsensitiveEqual::operator()(const std::string& left, const std::string& right) const noexcept
{
    return equalsIgnoringCase(left, right);
}

bool equalsIgnoringCase(std::string_view left, std::string_view right) noexcept
{
    if (left.size() != right.size())
        return false;
    for (std::size_t i = 0; i < left.size(); ++i) {
        if (lowerAscii(left[i]) != lowerAscii(right[i]))
            return false;
    }
    return true;
}

std::size_t find_head_end(std::string_view data, std::size_t from) noexcept
{
    static constexpr std::string_view delimiter = "\r\n\r\n";
    const std::size_t start = from > delimiter.size() - 1 ? from - (delimiter.size() - 1) : 0;
    const std::size_t found = data.find(delimiter, start);
    return found == std::string_view::npos ? 0 : found + delimiter.size();
}

bool parse_head(std::string_view head, RequestHead& result)
{
    LineReader lines(head);
    std::string_view line;
    if (!lines.next(line) || !parseRequestLine(line, result))
        return false;
    while (lines.next(line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            break;
        addHeader(line, colon, result.headers);
    }
    return true;
}

ContentLength parse_content_length(const Headers& headers, std::uint64_t& length)
{
    const auto [first, last] = headers.equal_range("Content-Length");
    if (first == last)
        return ContentLength::Absent;
    bool declared = false;
    for (auto it = first; it != last; ++it) {
        std::uint64_t value = 0;
        try {
            value = std::stoull(it->second, nullptr, 10);
        } catch (const std::logic_error&) { // no digits, or out of range
            return ContentLength::Malformed;
        }
        if (declared && value != length)
            return ContentLength::Malformed;
        length = value;
        declared = true;
    }
    return ContentLength::Declared;
}

bool declares_transfer_coding(const Headers& headers)
{
    return headers.count("Transfer-Encoding") != 0;
}

bool keeps_alive(const std::string& protocol_version, const Headers& headers)
{
    float version = 0;
    if (!parseVersionNumber(protocol_version, version))
        return false;
    const auto [first, last] = headers.equal_range("Connection");
    for (auto it = first; it != last; ++it) {
        if (equalsIgnoringCase(it->second, "close"))
            return false;
    }
    return double(version) > 1.05;
}

} // namespace Http
