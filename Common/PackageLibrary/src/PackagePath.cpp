#include "PackagePath.h"

#include "InstallLayout.h"
#include "Updater/PackagesInfo.h"

#include <QRegularExpression>

#include <algorithm>

namespace Updater {

namespace {

// Windows has no file names with control characters, and the record cannot
// hold most of them: it would name another file than the one installed.
bool hasControlCharacter(const QString& part)
{
    return std::any_of(part.cbegin(), part.cend(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// Windows opens a device for "nul", "com1.txt", "nul .txt", "CONIN$" or "COM¹",
// whatever the case and the extension: it looks at the name before the first
// dot, less trailing spaces, and counts superscript digits as digits.
bool isWindowsDeviceName(const QString& part)
{
    static const QRegularExpression device(QStringLiteral("^(con|prn|aux|nul|conin\\$|conout\\$|(com|lpt)[0-9])$"),
        QRegularExpression::CaseInsensitiveOption);
    QString base = part.left(part.indexOf(QLatin1Char('.')));
    while (base.endsWith(QLatin1Char(' ')))
        base.chop(1);
    base.replace(QChar(0x00b9), QLatin1Char('1'));
    base.replace(QChar(0x00b2), QLatin1Char('2'));
    base.replace(QChar(0x00b3), QLatin1Char('3'));
    return device.match(base).hasMatch();
}

// Windows drops trailing dots and spaces from every name it is given, so
// "Packages.xml." is the record and "a " is "a".
bool endsInTrimmedCharacter(const QString& part)
{
    return part.endsWith(QLatin1Char('.')) || part.endsWith(QLatin1Char(' '));
}

} // namespace

QString PackagePath::safeRelative(const QString& entryName, QString* why)
{
    QString name = entryName;
    // Archives made on Windows may use either separator; both must be checked.
    name.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (name.startsWith(QLatin1Char('/')) || (name.size() >= 2 && name.at(1) == QLatin1Char(':'))) {
        *why = tr("it is an absolute path");
        return QString();
    }
    QStringList parts;
    for (const QString& part : name.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            *why = tr("it climbs out of the target directory with \"..\"");
            return QString();
        }
        const QString refusal = whyRefused(part);
        if (!refusal.isEmpty()) {
            *why = refusal;
            return QString();
        }
        parts.append(part);
    }
    if (!parts.isEmpty()) {
        const QString& top = parts.first();
        if (top.startsWith(InstallLayout::reservedPrefix(), Qt::CaseInsensitive)
            || top.compare(PackagesInfo::recordFileName(), Qt::CaseInsensitive) == 0) {
            *why = tr("the name is reserved for the update library's own files");
            return QString();
        }
    }
    return parts.isEmpty() ? QLatin1String("") : parts.join(QLatin1Char('/'));
}

QString PackagePath::whyRefused(const QString& part)
{
    if (hasControlCharacter(part))
        return tr("its name contains a control character");
    if (part.contains(QLatin1Char(':')))
        return tr("its name contains ':' (a drive or a stream name)");
    if (endsInTrimmedCharacter(part))
        return tr("\"%1\" ends with a dot or a space, which Windows drops").arg(part);
    if (isWindowsDeviceName(part))
        return tr("\"%1\" names a device on Windows").arg(part);
    return QString();
}

bool PackagePath::isContainedLinkTarget(const QString& linkPath, const QString& target)
{
    if (target.isEmpty() || target.startsWith(QLatin1Char('/')) || target.startsWith(QLatin1Char('\\'))
        || (target.size() >= 2 && target.at(1) == QLatin1Char(':')))
        return false;
    const int linkDepth = linkPath.count(QLatin1Char('/'));
    int climbs = 0;
    bool descending = false;
    for (const QString& part : QString(target).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            // A ".." after a name may undo a link rather than a directory, and
            // then lands somewhere a lexical check cannot see.
            if (descending)
                return false;
            ++climbs;
        } else {
            descending = true;
        }
    }
    return climbs <= linkDepth;
}

QStringList PackagePath::parentsOf(const QString& relative)
{
    QStringList parents;
    for (int slash = relative.indexOf(QLatin1Char('/')); slash >= 0;
         slash = relative.indexOf(QLatin1Char('/'), slash + 1))
        parents.append(relative.left(slash));
    return parents;
}

QString PackagePath::comparisonKey(const QString& relative)
{
    return relative.toCaseFolded();
}

} // namespace Updater
