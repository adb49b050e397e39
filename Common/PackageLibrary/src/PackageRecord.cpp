#include "PackageRecord.h"

#include "QuickRecordReader.h"
#include "RecordShape.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QSet>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

namespace Updater {

namespace {

const QString rootElement = QStringLiteral("packageRecord");
const QString formatVersion = QStringLiteral("1");

QString trText(const char* text)
{
    return QCoreApplication::translate("Updater::PackagesInfo", text);
}

// XML 1.0 cannot carry most control characters or unpaired surrogates; a
// title with one would make the whole record unreadable, so they are dropped.
QString xmlSafe(const QString& text)
{
    QString safe;
    safe.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            safe += c;
            safe += text.at(++i);
            continue;
        }
        const ushort u = c.unicode();
        const bool control = u < 0x20 && u != 0x9 && u != 0xA && u != 0xD;
        if (control || c.isSurrogate() || u == 0xFFFE || u == 0xFFFF)
            continue;
        safe += c;
    }
    return safe;
}

QDate readDate(QXmlStreamReader& xml, const QString& attribute)
{
    const QString text = xml.attributes().value(attribute).toString();
    if (text.isEmpty())
        return QDate();
    const QDate date = QDate::fromString(text, Qt::ISODate);
    if (!date.isValid())
        xml.raiseError(trText("\"%1\" is not a date").arg(text));
    return date;
}

void readPackage(QXmlStreamReader& xml, PackageRecord* record, QSet<QString>* names)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    PackageInfo package(
        attributes.value(QLatin1String("name")).toString(), attributes.value(QLatin1String("version")).toString());
    if (package.name().isEmpty())
        return xml.raiseError(trText("a package without a name"));
    if (names->contains(package.name()))
        return xml.raiseError(trText("package \"%1\" is listed twice").arg(package.name()));
    names->insert(package.name());
    const QStringRef size = attributes.value(QLatin1String("size"));
    if (!size.isEmpty()) {
        bool ok = false;
        package.setSize(size.toULongLong(&ok));
        if (!ok)
            return xml.raiseError(trText("\"%1\" is not a size").arg(size.toString()));
    }
    package.setInstallDate(readDate(xml, QStringLiteral("installDate")));
    package.setLastUpdateDate(readDate(xml, QStringLiteral("lastUpdateDate")));

    QStringList files;
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("title"))
            package.setTitle(xml.readElementText());
        else if (xml.name() == QLatin1String("description"))
            package.setDescription(xml.readElementText());
        else if (xml.name() == QLatin1String("file"))
            files.append(xml.readElementText());
        else
            xml.skipCurrentElement();
    }
    package.setFiles(files);
    record->packages.append(package);
}

void readSource(QXmlStreamReader& xml, PackageRecord* record)
{
    const QXmlStreamAttributes attributes = xml.attributes();
    UpdateSourceInfo source;
    source.name = attributes.value(QLatin1String("name")).toString();
    source.url = QUrl(attributes.value(QLatin1String("url")).toString());
    source.priority = attributes.value(QLatin1String("priority")).toInt();
    if (source.name.isEmpty())
        return xml.raiseError(trText("an update source without a name"));
    while (xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("title"))
            source.title = xml.readElementText();
        else if (xml.name() == QLatin1String("description"))
            source.description = xml.readElementText();
        else
            xml.skipCurrentElement();
    }
    record->sources.append(source);
}

void readRoot(QXmlStreamReader& xml, PackageRecord* record)
{
    if (!xml.readNextStartElement())
        return;
    if (xml.name() != rootElement)
        return xml.raiseError(trText("not a package record"));
    const QStringRef format = xml.attributes().value(QLatin1String("format"));
    if (format != formatVersion)
        return xml.raiseError(trText("unknown record format \"%1\"").arg(format.toString()));

    QSet<QString> names;
    while (!xml.hasError() && xml.readNextStartElement()) {
        if (xml.name() == QLatin1String("target")) {
            record->targetName = xml.attributes().value(QLatin1String("name")).toString();
            record->targetVersion = xml.attributes().value(QLatin1String("version")).toString();
            xml.skipCurrentElement();
        } else if (xml.name() == QLatin1String("package")) {
            readPackage(xml, record, &names);
        } else if (xml.name() == QLatin1String("source")) {
            readSource(xml, record);
        } else {
            xml.skipCurrentElement();
        }
    }
}

void writeTextElement(QXmlStreamWriter& xml, const QString& name, const QString& text)
{
    if (!text.isEmpty())
        xml.writeTextElement(name, xmlSafe(text));
}

void writeDate(QXmlStreamWriter& xml, const QString& name, const QDate& date)
{
    if (date.isValid())
        xml.writeAttribute(name, date.toString(Qt::ISODate));
}

void writePackage(QXmlStreamWriter& xml, const PackageInfo& package)
{
    xml.writeStartElement(QStringLiteral("package"));
    xml.writeAttribute(QStringLiteral("name"), xmlSafe(package.name()));
    xml.writeAttribute(QStringLiteral("version"), xmlSafe(package.version()));
    xml.writeAttribute(QStringLiteral("size"), QString::number(package.size()));
    writeDate(xml, QStringLiteral("installDate"), package.installDate());
    writeDate(xml, QStringLiteral("lastUpdateDate"), package.lastUpdateDate());
    writeTextElement(xml, QStringLiteral("title"), package.title());
    writeTextElement(xml, QStringLiteral("description"), package.description());
    for (const QString& file : package.files())
        xml.writeTextElement(QStringLiteral("file"), xmlSafe(file));
    xml.writeEndElement();
}

void writeSource(QXmlStreamWriter& xml, const UpdateSourceInfo& source)
{
    xml.writeStartElement(QStringLiteral("source"));
    xml.writeAttribute(QStringLiteral("name"), xmlSafe(source.name));
    xml.writeAttribute(QStringLiteral("url"), xmlSafe(source.url.toString()));
    xml.writeAttribute(QStringLiteral("priority"), QString::number(source.priority));
    writeTextElement(xml, QStringLiteral("title"), source.title);
    writeTextElement(xml, QStringLiteral("description"), source.description);
    xml.writeEndElement();
}

} // namespace

bool PackageRecord::parse(const QByteArray& bytes, PackageRecord* record, QString* error)
{
    return QuickRecordReader::read(bytes, record) || parseXml(bytes, record, error);
}

bool PackageRecord::parseXml(const QByteArray& bytes, PackageRecord* record, QString* error)
{
    *record = PackageRecord();
    QString shapeError;
    if (!RecordShape::withinBounds(bytes, &shapeError)) {
        *error = shapeError;
        return false;
    }
    QXmlStreamReader xml(bytes);
    readRoot(xml, record);
    // Read to the very end: a record cut short is only noticed there.
    while (!xml.hasError() && !xml.atEnd())
        xml.readNext();
    if (!xml.hasError())
        return true;
    *error = trText("%1 (line %2)").arg(xml.errorString()).arg(xml.lineNumber());
    *record = PackageRecord();
    return false;
}

bool PackageRecord::operator==(const PackageRecord& other) const
{
    return targetName == other.targetName && targetVersion == other.targetVersion && packages == other.packages
        && sources == other.sources;
}

QByteArray PackageRecord::serialize() const
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QXmlStreamWriter xml(&buffer);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(4);
    xml.writeStartDocument();
    xml.writeStartElement(rootElement);
    xml.writeAttribute(QStringLiteral("format"), formatVersion);
    xml.writeStartElement(QStringLiteral("target"));
    xml.writeAttribute(QStringLiteral("name"), xmlSafe(targetName));
    xml.writeAttribute(QStringLiteral("version"), xmlSafe(targetVersion));
    xml.writeEndElement();
    for (const UpdateSourceInfo& source : sources)
        writeSource(xml, source);
    for (const PackageInfo& package : packages)
        writePackage(xml, package);
    xml.writeEndElement();
    xml.writeEndDocument();
    return bytes;
}

} // namespace Updater
