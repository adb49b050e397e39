#include "Updater/Version.h"

#include <QStringList>
#include <QVector>

namespace Updater {

namespace {

// A part as a run of digits without leading zeros; anything that is not a
// plain number counts as 0. Kept as text so no number is too long to compare.
QStringRef numericPart(const QStringRef& part)
{
    const QStringRef trimmed = part.trimmed();
    if (trimmed.isEmpty())
        return QStringRef();
    for (const QChar c : trimmed) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return QStringRef();
    }
    int first = 0;
    while (first < trimmed.size() && trimmed.at(first) == QLatin1Char('0'))
        ++first;
    return trimmed.mid(first);
}

int compareParts(const QStringRef& a, const QStringRef& b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

} // namespace

int Version::compare(const QString& a, const QString& b)
{
    const QVector<QStringRef> left = a.splitRef(QLatin1Char('.'));
    const QVector<QStringRef> right = b.splitRef(QLatin1Char('.'));
    const int count = qMax(left.size(), right.size());
    for (int i = 0; i < count; ++i) {
        const QStringRef x = i < left.size() ? numericPart(left.at(i)) : QStringRef();
        const QStringRef y = i < right.size() ? numericPart(right.at(i)) : QStringRef();
        const int result = compareParts(x, y);
        if (result != 0)
            return result < 0 ? -1 : 1;
    }
    return 0;
}

bool Version::isValid(const QString& version)
{
    if (version.isEmpty())
        return false;
    const QVector<QStringRef> parts = version.splitRef(QLatin1Char('.'));
    for (const QStringRef& part : parts) {
        if (part.isEmpty())
            return false;
        for (const QChar c : part) {
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return false;
        }
    }
    return true;
}

} // namespace Updater
