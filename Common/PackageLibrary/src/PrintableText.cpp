#include "PrintableText.h"

#include <algorithm>

namespace Updater {

namespace {

bool needsEscape(QChar c)
{
    return c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
        || c.category() == QChar::Separator_Paragraph;
}

} // namespace

QString printableText(const QString& text)
{
    if (std::none_of(text.cbegin(), text.cend(), needsEscape))
        return text;
    QString printable;
    printable.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (!needsEscape(c))
            printable += c;
        else if (c.unicode() < 0x100)
            printable += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            printable += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return printable;
}

} // namespace Updater
