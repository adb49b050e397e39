#include "RecordShape.h"

#include <QCoreApplication>

#include <cstring>

namespace Updater {

namespace {

QString trText(const char* text)
{
    return QCoreApplication::translate("Updater::PackagesInfo", text);
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The encoding the XML declaration names, empty when there is none.
QByteArray declaredEncoding(const QByteArray& bytes)
{
    const int start = bytes.startsWith("\xef\xbb\xbf") ? 3 : 0;
    if (bytes.mid(start, 5) != "<?xml")
        return QByteArray();
    const int end = bytes.indexOf("?>", start);
    const QByteArray declaration = bytes.mid(start, end < 0 ? -1 : end - start);
    const int name = declaration.indexOf("encoding");
    if (name < 0)
        return QByteArray();
    const QByteArray rest = declaration.mid(name + 8).trimmed();
    if (!rest.startsWith('='))
        return QByteArray();
    const QByteArray value = rest.mid(1).trimmed();
    const int close = value.isEmpty() ? -1 : value.indexOf(value.at(0), 1);
    return close < 0 ? value : value.mid(1, close - 1);
}

// In UTF-16 and UTF-32 every ASCII character carries a zero byte, which
// UTF-8 XML never holds; other encodings are declared.
bool isUtf8(const QByteArray& bytes)
{
    const QByteArray encoding = declaredEncoding(bytes);
    return !bytes.contains('\0') && (encoding.isEmpty() || encoding.compare("UTF-8", Qt::CaseInsensitive) == 0);
}

// Walks the markup as an XML reader tokenises it, counting what it bounds.
class ShapeScanner
{
public:
    ShapeScanner(const char* begin, const char* end)
        : m_p(begin)
        , m_end(end)
    {
    }

    bool scan(QString* error)
    {
        while ((m_p = static_cast<const char*>(std::memchr(m_p, '<', std::size_t(m_end - m_p))))) {
            if (skipPast("<!--", "-->") || skipPast("<![CDATA[", "]]>") || skipPast("<?", "?>"))
                continue;
            if (lookingAt("<!")) {
                *error = trText("a document type declaration");
                return false;
            }
            if (lookingAt("</")) {
                --m_depth;
                ++m_p;
                continue;
            }
            if (!scanStartTag(error))
                return false;
        }
        return true;
    }

private:
    bool lookingAt(const char* text) const
    {
        const std::size_t length = std::strlen(text);
        return std::size_t(m_end - m_p) >= length && std::memcmp(m_p, text, length) == 0;
    }

    // Past the construct that opens with open and ends with close, or to the
    // end when it is not closed; false when it does not start here.
    bool skipPast(const char* open, const char* close)
    {
        if (!lookingAt(open))
            return false;
        m_p += std::strlen(open);
        const std::size_t closeLength = std::strlen(close);
        while (m_p != m_end && !lookingAt(close))
            ++m_p;
        m_p = m_end - m_p >= std::ptrdiff_t(closeLength) ? m_p + closeLength : m_end;
        return true;
    }

    void skipSpace()
    {
        while (m_p != m_end && isSpace(*m_p))
            ++m_p;
    }

    void skipName()
    {
        while (m_p != m_end && !isSpace(*m_p) && *m_p != '=' && *m_p != '>' && *m_p != '/' && *m_p != '<')
            ++m_p;
    }

    void skipQuoted()
    {
        const char quote = *m_p++;
        const void* close = std::memchr(m_p, quote, std::size_t(m_end - m_p));
        m_p = close ? static_cast<const char*>(close) + 1 : m_end;
    }

    // m_p is at the '<' of a start tag; leaves it past the tag.
    bool scanStartTag(QString* error)
    {
        ++m_p;
        skipName();
        int attributes = 0;
        while (m_p != m_end) {
            skipSpace();
            if (m_p == m_end || *m_p == '<')
                return true;
            if (*m_p == '>') {
                ++m_p;
                if (++m_depth > RecordShape::maximumDepth) {
                    *error = trText("elements nested more than %1 deep").arg(RecordShape::maximumDepth);
                    return false;
                }
                return true;
            }
            if (lookingAt("/>")) {
                m_p += 2;
                return true;
            }
            const char* const before = m_p;
            skipName();
            skipSpace();
            if (m_p != m_end && *m_p == '=') {
                ++m_p;
                skipSpace();
            }
            if (m_p != m_end && (*m_p == '"' || *m_p == '\''))
                skipQuoted();
            if (++attributes > RecordShape::maximumAttributes) {
                *error = trText("an element with more than %1 attributes").arg(RecordShape::maximumAttributes);
                return false;
            }
            if (m_p == before)
                ++m_p; // a stray character the reader will call malformed
        }
        return true;
    }

    const char* m_p;
    const char* const m_end;
    int m_depth = 0;
};

} // namespace

bool RecordShape::withinBounds(const QByteArray& bytes, QString* error)
{
    if (!isUtf8(bytes)) {
        *error = trText("not UTF-8");
        return false;
    }
    return ShapeScanner(bytes.constData(), bytes.constData() + bytes.size()).scan(error);
}

} // namespace Updater
