#include "QuickRecordReader.h"

#include "PackageRecord.h"
#include "RecordShape.h"

#include <QVarLengthArray>

#include <cstring>

namespace Updater {

namespace {

// Beyond this many packages the duplicate check by scanning would cost more
// than the full reader's set.
constexpr int maximumQuickPackages = 64;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

bool isNameByte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Whether the eight bytes at p are all from 0x20 to 0x7f: the common case,
// checked a word at a time.
bool isPrintableAscii(const uchar* p)
{
    constexpr quint64 ones = 0x0101010101010101ULL;
    constexpr quint64 highBits = 0x8080808080808080ULL;
    quint64 word;
    std::memcpy(&word, p, sizeof word);
    // With no high bit set, subtracting 0x20 sets one exactly in a byte
    // below 0x20.
    return (word & highBits) == 0 && ((word - 0x20 * ones) & ~word & highBits) == 0;
}

// Strict UTF-8 of XML characters only, without carriage returns (which XML
// turns into line feeds), the byte order mark or U+FFFE/U+FFFF.
bool isPlainXmlText(const QByteArray& bytes)
{
    const auto* p = reinterpret_cast<const uchar*>(bytes.constData());
    const auto* const end = p + bytes.size();
    while (p != end) {
        if (end - p >= 8 && isPrintableAscii(p)) {
            p += 8;
            continue;
        }
        const uchar c = *p++;
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n')
                return false;
            continue;
        }
        int more;
        uint code;
        uint minimum;
        if ((c & 0xe0) == 0xc0) {
            more = 1;
            code = c & 0x1f;
            minimum = 0x80;
        } else if ((c & 0xf0) == 0xe0) {
            more = 2;
            code = c & 0x0f;
            minimum = 0x800;
        } else if ((c & 0xf8) == 0xf0) {
            more = 3;
            code = c & 0x07;
            minimum = 0x10000;
        } else {
            return false;
        }
        if (end - p < more)
            return false;
        for (; more > 0; --more) {
            if ((*p & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (*p++ & 0x3f);
        }
        if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) || code == 0xfeff || code == 0xfffe
            || code == 0xffff)
            return false;
    }
    return true;
}

// Reads the shape PackageRecord::serialize() writes, and declines anything
// else: DTDs, comments, processing instructions, CDATA, character references,
// namespaces, unknown elements, text where none is read. Every method returns
// false to decline.
class Reader
{
public:
    Reader(const QByteArray& bytes, PackageRecord* record)
        : m_p(bytes.constData())
        , m_end(bytes.constData() + bytes.size())
        , m_record(record)
    {
    }

    bool read()
    {
        if (!readDeclaration())
            return false;
        skipSpace();
        if (!readRoot())
            return false;
        skipSpace();
        return m_p == m_end;
    }

private:
    struct Tag
    {
        QLatin1String name;
        QVarLengthArray<QPair<QLatin1String, QString>, 8> attributes;
        bool empty = false;

        // Absent and empty read alike, as QXmlStreamAttributes::value gives them.
        QString value(QLatin1String attribute) const
        {
            for (const auto& pair : attributes) {
                if (pair.first == attribute)
                    return pair.second;
            }
            return QString();
        }
        bool has(QLatin1String attribute) const
        {
            for (const auto& pair : attributes) {
                if (pair.first == attribute)
                    return true;
            }
            return false;
        }
    };

    bool lookingAt(const char* text) const
    {
        const auto length = std::strlen(text);
        return std::size_t(m_end - m_p) >= length && std::memcmp(m_p, text, length) == 0;
    }

    void skipSpace()
    {
        while (m_p != m_end && isSpace(*m_p))
            ++m_p;
    }

    // Only <?xml version="1.0"?> with an optional encoding="UTF-8".
    bool readDeclaration()
    {
        if (!lookingAt("<?"))
            return true;
        if (!lookingAt("<?xml version=\"1.0\""))
            return false;
        m_p += std::strlen("<?xml version=\"1.0\"");
        if (lookingAt(" encoding=\"UTF-8\""))
            m_p += std::strlen(" encoding=\"UTF-8\"");
        skipSpace();
        if (!lookingAt("?>"))
            return false;
        m_p += 2;
        return true;
    }

    // Points into the bytes, which outlive the reader.
    QLatin1String readName()
    {
        const char* start = m_p;
        while (m_p != m_end && isNameByte(*m_p))
            ++m_p;
        return QLatin1String(start, int(m_p - start));
    }

    // The five predefined entities; a character reference or any other is declined.
    bool appendEntity(QByteArray* text)
    {
        static const struct
        {
            const char* entity;
            char character;
        } entities[] = { { "&lt;", '<' }, { "&gt;", '>' }, { "&amp;", '&' }, { "&quot;", '"' }, { "&apos;", '\'' } };
        for (const auto& e : entities) {
            if (lookingAt(e.entity)) {
                text->append(e.character);
                m_p += std::strlen(e.entity);
                return true;
            }
        }
        return false;
    }

    // Text up to the stop character, entities resolved.
    bool readText(char stop, QString* result, bool inAttribute)
    {
        const char* start = m_p;
        QByteArray resolved;
        bool hasEntity = false;
        while (m_p != m_end && *m_p != stop) {
            const char c = *m_p;
            if (c == '<' || (inAttribute && (c == '\t' || c == '\n')))
                return false;
            if (!inAttribute && c == '>' && m_p - start >= 2 && m_p[-1] == ']' && m_p[-2] == ']')
                return false;
            if (c == '&') {
                if (!hasEntity)
                    resolved = QByteArray(start, int(m_p - start));
                hasEntity = true;
                if (!appendEntity(&resolved))
                    return false;
                continue;
            }
            if (hasEntity)
                resolved.append(c);
            ++m_p;
        }
        if (m_p == m_end)
            return false;
        *result = hasEntity ? QString::fromUtf8(resolved) : QString::fromUtf8(start, int(m_p - start));
        return true;
    }

    bool readAttribute(Tag* tag)
    {
        // Past the bound the XML reader finds the record damaged.
        if (tag->attributes.size() == RecordShape::maximumAttributes)
            return false;
        const QLatin1String name = readName();
        if (name.isEmpty() || name.startsWith(QLatin1String("xml"), Qt::CaseInsensitive) || tag->has(name))
            return false;
        if (m_end - m_p < 2 || m_p[0] != '=' || (m_p[1] != '"' && m_p[1] != '\''))
            return false;
        const char quote = m_p[1];
        m_p += 2;
        QString value;
        if (!readText(quote, &value, true))
            return false;
        ++m_p;
        tag->attributes.append({ name, value });
        return true;
    }

    // A start tag with its attributes; m_p is at its '<'.
    bool readStartTag(Tag* tag)
    {
        if (m_p == m_end || *m_p != '<')
            return false;
        ++m_p;
        tag->name = readName();
        if (tag->name.isEmpty())
            return false;
        for (;;) {
            const char* beforeSpace = m_p;
            skipSpace();
            if (lookingAt("/>")) {
                m_p += 2;
                tag->empty = true;
                return true;
            }
            if (lookingAt(">")) {
                ++m_p;
                return true;
            }
            if (m_p == beforeSpace || !readAttribute(tag))
                return false;
        }
    }

    bool readEndTag(QLatin1String name)
    {
        if (!lookingAt("</"))
            return false;
        m_p += 2;
        if (readName() != name)
            return false;
        skipSpace();
        if (!lookingAt(">"))
            return false;
        ++m_p;
        return true;
    }

    // Text only, as readElementText() reads it.
    bool readElementText(const Tag& tag, QString* text)
    {
        if (tag.empty) {
            *text = QString();
            return true;
        }
        return readText('<', text, false) && readEndTag(tag.name);
    }

    // Children of tag, each handed to read; white space between them only.
    template <typename ReadChild> bool readChildren(const Tag& tag, ReadChild read)
    {
        if (tag.empty)
            return true;
        for (;;) {
            skipSpace();
            if (lookingAt("</"))
                return readEndTag(tag.name);
            Tag child;
            if (!readStartTag(&child) || !read(child))
                return false;
        }
    }

    // Children holding text only, each handed to take with its name; take
    // declines the ones it does not know.
    template <typename Take> bool readTextChildren(const Tag& tag, Take take)
    {
        return readChildren(tag, [&](const Tag& child) {
            QString text;
            return readElementText(child, &text) && take(child.name, text);
        });
    }

    // The decimal number in text from..to, digits only.
    static bool readDigits(const QString& text, int from, int to, quint64* value)
    {
        *value = 0;
        for (int i = from; i < to; ++i) {
            const ushort u = text.at(i).unicode();
            if (u < '0' || u > '9')
                return false;
            *value = *value * 10 + (u - '0');
        }
        return from < to;
    }

    static bool readDate(const QString& text, QDate* date)
    {
        *date = QDate();
        if (text.isEmpty())
            return true;
        quint64 year, month, day;
        if (text.size() != 10 || text.at(4) != QLatin1Char('-') || text.at(7) != QLatin1Char('-')
            || !readDigits(text, 0, 4, &year) || !readDigits(text, 5, 7, &month) || !readDigits(text, 8, 10, &day))
            return false;
        *date = QDate(int(year), int(month), int(day));
        return date->isValid();
    }

    static bool readSize(const QString& text, quint64* size)
    {
        *size = 0;
        // Nineteen digits always fit in 64 bits.
        return text.isEmpty() || (text.size() <= 19 && readDigits(text, 0, text.size(), size));
    }

    static bool readPriority(const QString& text, int* priority)
    {
        *priority = 0;
        if (text.isEmpty())
            return true;
        const int from = text.startsWith(QLatin1Char('-')) ? 1 : 0;
        quint64 value;
        // Nine digits always fit in an int.
        if (text.size() - from > 9 || !readDigits(text, from, text.size(), &value))
            return false;
        *priority = from ? -int(value) : int(value);
        return true;
    }

    bool readPackage(const Tag& tag)
    {
        PackageInfo package(tag.value(QLatin1String("name")), tag.value(QLatin1String("version")));
        if (package.name().isEmpty() || m_record->packages.size() >= maximumQuickPackages)
            return false;
        for (const PackageInfo& other : qAsConst(m_record->packages)) {
            if (other.name() == package.name())
                return false;
        }
        quint64 size = 0;
        QDate installDate;
        QDate lastUpdateDate;
        if (!readSize(tag.value(QLatin1String("size")), &size)
            || !readDate(tag.value(QLatin1String("installDate")), &installDate)
            || !readDate(tag.value(QLatin1String("lastUpdateDate")), &lastUpdateDate))
            return false;
        package.setSize(size);
        package.setInstallDate(installDate);
        package.setLastUpdateDate(lastUpdateDate);

        QStringList files;
        const bool read = readTextChildren(tag, [&](QLatin1String name, const QString& text) {
            if (name == QLatin1String("title"))
                package.setTitle(text);
            else if (name == QLatin1String("description"))
                package.setDescription(text);
            else if (name == QLatin1String("file"))
                files.append(text);
            else
                return false;
            return true;
        });
        if (!read)
            return false;
        package.setFiles(files);
        m_record->packages.append(package);
        return true;
    }

    bool readSource(const Tag& tag)
    {
        UpdateSourceInfo source;
        source.name = tag.value(QLatin1String("name"));
        source.url = QUrl(tag.value(QLatin1String("url")));
        if (source.name.isEmpty() || !readPriority(tag.value(QLatin1String("priority")), &source.priority))
            return false;
        const bool read = readTextChildren(tag, [&](QLatin1String name, const QString& text) {
            if (name == QLatin1String("title"))
                source.title = text;
            else if (name == QLatin1String("description"))
                source.description = text;
            else
                return false;
            return true;
        });
        if (!read)
            return false;
        m_record->sources.append(source);
        return true;
    }

    bool readTarget(const Tag& tag)
    {
        m_record->targetName = tag.value(QLatin1String("name"));
        m_record->targetVersion = tag.value(QLatin1String("version"));
        return readChildren(tag, [](const Tag&) { return false; });
    }

    bool readRoot()
    {
        Tag root;
        if (!readStartTag(&root) || root.name != QLatin1String("packageRecord")
            || root.value(QLatin1String("format")) != QLatin1String("1"))
            return false;
        return readChildren(root, [this](const Tag& child) {
            if (child.name == QLatin1String("target"))
                return readTarget(child);
            if (child.name == QLatin1String("package"))
                return readPackage(child);
            if (child.name == QLatin1String("source"))
                return readSource(child);
            return false;
        });
    }

    const char* m_p;
    const char* const m_end;
    PackageRecord* m_record;
};

} // namespace

bool QuickRecordReader::read(const QByteArray& bytes, PackageRecord* record)
{
    *record = PackageRecord();
    if (isPlainXmlText(bytes) && Reader(bytes, record).read())
        return true;
    *record = PackageRecord();
    return false;
}

} // namespace Updater
