#include "JsonpAnswer.h"

#include <Updater/PackageInfo.h>

#include <QUrlQuery>

namespace Vondra {

namespace {

char hexDigit(uint value)
{
    return "0123456789abcdef"[value & 0xf];
}

char shortEscape(ushort unit)
{
    switch (unit) {
    case '"':
        return '"';
    case '\\':
        return '\\';
    case '\b':
        return 'b';
    case '\f':
        return 'f';
    case '\n':
        return 'n';
    case '\r':
        return 'r';
    case '\t':
        return 't';
    default:
        return 0;
    }
}

void appendEscaped(std::string& json, ushort unit)
{
    json += '\\';
    if (const char letter = shortEscape(unit)) {
        json += letter;
        return;
    }
    json += 'u';
    for (int shift = 12; shift >= 0; shift -= 4)
        json += hexDigit(unit >> shift);
}

// A JSON string as QJsonDocument writes it: quotes, backslashes and control
// characters escaped, the rest as raw UTF-8; a surrogate without its partner
// cannot be UTF-8 and becomes a \u escape.
void appendString(std::string& json, const QString& text)
{
    json += '"';
    const ushort* unit = text.utf16();
    const ushort* const end = unit + text.size();
    for (; unit != end; ++unit) {
        const ushort u = *unit;
        if (u < 0x20 || u == '"' || u == '\\') {
            appendEscaped(json, u);
        } else if (u < 0x80) {
            json += char(u);
        } else if (u < 0x800) {
            json += char(0xc0 | (u >> 6));
            json += char(0x80 | (u & 0x3f));
        } else if (!QChar::isSurrogate(u)) {
            json += char(0xe0 | (u >> 12));
            json += char(0x80 | ((u >> 6) & 0x3f));
            json += char(0x80 | (u & 0x3f));
        } else if (QChar::isHighSurrogate(u) && unit + 1 != end && QChar::isLowSurrogate(unit[1])) {
            const uint c = QChar::surrogateToUcs4(u, *++unit);
            json += char(0xf0 | (c >> 18));
            json += char(0x80 | ((c >> 12) & 0x3f));
            json += char(0x80 | ((c >> 6) & 0x3f));
            json += char(0x80 | (c & 0x3f));
        } else {
            appendEscaped(json, u);
        }
    }
    json += '"';
}

void appendKey(std::string& json, const char* key)
{
    json += '"';
    json += key;
    json += "\":";
}

// QDate::toString(Qt::ISODate) without its printf for the years it writes in
// four digits; empty for a date that is not valid.
void appendDate(std::string& json, const QDate& date)
{
    if (!date.isValid())
        return appendString(json, QString());
    if (date.year() < 1 || date.year() > 9999)
        return appendString(json, date.toString(Qt::ISODate));
    char text[] = "\"yyyy-mm-dd\"";
    // Writes value's digits, the last at text[last].
    const auto put = [&text](int last, int value, int digits) {
        for (int at = last; at > last - digits; --at, value /= 10)
            text[at] = char('0' + value % 10);
    };
    put(4, date.year(), 4);
    put(7, date.month(), 2);
    put(10, date.day(), 2);
    json += text;
}

void appendPackage(std::string& json, const Updater::PackageInfo& package)
{
    json += '{';
    appendKey(json, "install_date");
    appendDate(json, package.installDate());
    json += ',';
    appendKey(json, "last_update_date");
    appendDate(json, package.lastUpdateDate());
    json += ',';
    appendKey(json, "name");
    appendString(json, package.name());
    json += ',';
    appendKey(json, "version");
    appendString(json, package.version());
    json += '}';
}

} // namespace

JsonpAnswer::Callback JsonpAnswer::requested(const QString& query)
{
    const int mark = query.indexOf(QLatin1Char('?'));
    QString items = query.right(query.length() - mark - 1);
    if (items.isEmpty())
        return Callback::None;
    items.replace(QStringLiteral("%40"), QStringLiteral("@"), Qt::CaseInsensitive);
    const QString callback = QUrlQuery(items).queryItemValue(QStringLiteral("callback"), QUrl::PrettyDecoded);
    if (callback == QLatin1String("sharestatus"))
        return Callback::ShareStatus;
    if (callback == QLatin1String("tavinfo"))
        return Callback::TavInfo;
    return Callback::None;
}

std::string JsonpAnswer::shareStatus()
{
    return framed("sharestatus({ \"message\":\"done\" })\r\n");
}

// Written directly rather than through QJsonDocument, byte for byte what its
// compact form gives (keys sorted): the answer is built on every request.
std::string JsonpAnswer::packageInfo(const QList<Updater::PackageInfo>& packages)
{
    std::string body = "tavinfo([";
    body.reserve(16 + 100 * std::size_t(packages.size()));
    for (int i = 0; i < packages.size(); ++i) {
        if (i > 0)
            body += ',';
        appendPackage(body, packages.at(i));
    }
    body += "])\r\n";
    return framed(body);
}

std::string JsonpAnswer::framed(const std::string& body)
{
    std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: ";
    answer.reserve(answer.size() + 48 + body.size());
    answer += std::to_string(body.size());
    answer += "\r\nContent-Type: application/json\r\n\r\n";
    answer += body;
    return answer;
}

} // namespace Vondra
