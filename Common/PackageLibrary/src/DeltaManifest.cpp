#include "DeltaManifest.h"

#include <QCoreApplication>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

namespace Updater {

namespace {

const QByteArray magic = QByteArrayLiteral("tavlo-delta-1\n");
constexpr int lengthDigits = 16;
// JSON numbers beyond 2^53 lose precision; no file comes near.
constexpr double largestNumber = 9007199254740992.0;

QString tr(const char* text)
{
    return QCoreApplication::translate("Updater::DeltaManifest", text);
}

constexpr std::pair<DeltaManifest::Type, const char*> typeNames[] = {
    { DeltaManifest::Type::File, "file" },
    { DeltaManifest::Type::Directory, "directory" },
    { DeltaManifest::Type::Link, "link" },
};

constexpr std::pair<DeltaManifest::Method, const char*> methodNames[] = {
    { DeltaManifest::Method::Reused, "reused" },
    { DeltaManifest::Method::Patched, "patched" },
    { DeltaManifest::Method::Whole, "whole" },
};

template <typename Enum, std::size_t N> QString nameOf(const std::pair<Enum, const char*> (&names)[N], Enum value)
{
    for (const auto& [known, name] : names) {
        if (known == value)
            return QLatin1String(name);
    }
    return QString();
}

template <typename Enum, std::size_t N>
bool valueOf(const std::pair<Enum, const char*> (&names)[N], const QString& name, Enum* value)
{
    for (const auto& [known, text] : names) {
        if (name == QLatin1String(text)) {
            *value = known;
            return true;
        }
    }
    return false;
}

bool readNumber(const QJsonObject& object, const char* key, quint64* number)
{
    const QJsonValue value = object.value(QLatin1String(key));
    const double d = value.toDouble(-1);
    if (!value.isDouble() || d < 0 || d > largestNumber || d != double(quint64(d)))
        return false;
    *number = quint64(d);
    return true;
}

bool readSha256(const QJsonObject& object, const char* key, QByteArray* sha256)
{
    const QString text = object.value(QLatin1String(key)).toString();
    *sha256 = QByteArray::fromHex(text.toLatin1());
    return text.size() == 64 && sha256->size() == 32 && sha256->toHex() == text.toLatin1().toLower();
}

QJsonObject toJson(const DeltaManifest::Entry& entry)
{
    QJsonObject object { { QStringLiteral("path"), entry.path },
        { QStringLiteral("type"), nameOf(typeNames, entry.type) } };
    if (entry.type == DeltaManifest::Type::Link) {
        object.insert(QStringLiteral("target"), entry.linkTarget);
        return object;
    }
    object.insert(QStringLiteral("mode"), entry.mode);
    if (entry.type == DeltaManifest::Type::Directory)
        return object;
    object.insert(QStringLiteral("size"), double(entry.size));
    object.insert(QStringLiteral("sha256"), QString::fromLatin1(entry.sha256.toHex()));
    object.insert(QStringLiteral("make"), nameOf(methodNames, entry.method));
    if (entry.needsReference()) {
        object.insert(QStringLiteral("reference"), entry.reference);
        object.insert(QStringLiteral("referenceSize"), double(entry.referenceSize));
        object.insert(QStringLiteral("referenceSha256"), QString::fromLatin1(entry.referenceSha256.toHex()));
    }
    if (entry.hasPayload()) {
        object.insert(QStringLiteral("offset"), double(entry.offset));
        object.insert(QStringLiteral("length"), double(entry.length));
    }
    return object;
}

bool parseFile(const QJsonObject& object, DeltaManifest::Entry* entry)
{
    if (!readNumber(object, "size", &entry->size) || !readSha256(object, "sha256", &entry->sha256)
        || !valueOf(methodNames, object.value(QLatin1String("make")).toString(), &entry->method))
        return false;
    if (entry->needsReference()) {
        entry->reference = object.value(QLatin1String("reference")).toString();
        if (entry->reference.isEmpty() || !readNumber(object, "referenceSize", &entry->referenceSize)
            || !readSha256(object, "referenceSha256", &entry->referenceSha256))
            return false;
    }
    return !entry->hasPayload()
        || (readNumber(object, "offset", &entry->offset) && readNumber(object, "length", &entry->length));
}

bool parseEntry(const QJsonValue& value, DeltaManifest::Entry* entry)
{
    const QJsonObject object = value.toObject();
    entry->path = object.value(QLatin1String("path")).toString();
    if (!value.isObject() || entry->path.isEmpty()
        || !valueOf(typeNames, object.value(QLatin1String("type")).toString(), &entry->type))
        return false;
    if (entry->type == DeltaManifest::Type::Link) {
        entry->linkTarget = object.value(QLatin1String("target")).toString();
        return !entry->linkTarget.isEmpty();
    }
    quint64 mode = 0;
    if (!readNumber(object, "mode", &mode) || mode > 07777)
        return false;
    entry->mode = int(mode);
    return entry->type == DeltaManifest::Type::Directory || parseFile(object, entry);
}

} // namespace

QByteArray DeltaManifest::head() const
{
    const QByteArray json = serialize();
    return magic + QByteArray::number(json.size(), 16).rightJustified(lengthDigits, '0') + '\n' + json;
}

bool DeltaManifest::readHead(QIODevice* device, DeltaManifest* manifest, QString* reason)
{
    const QByteArray start = device->read(magic.size() + lengthDigits + 1);
    bool ok = false;
    const qint64 length = start.mid(magic.size(), lengthDigits).toLongLong(&ok, 16);
    if (start.size() != magic.size() + lengthDigits + 1 || !start.startsWith(magic) || !start.endsWith('\n') || !ok
        || length < 0) {
        *reason = tr("it is not a delta file");
        return false;
    }
    if (length > maximumSize()) {
        *reason = tr("its manifest is larger than %1 bytes").arg(maximumSize());
        return false;
    }
    const QByteArray json = device->read(length);
    if (json.size() != length) {
        *reason = tr("it ends inside its manifest");
        return false;
    }
    return parse(json, manifest, reason);
}

QByteArray DeltaManifest::serialize() const
{
    QJsonArray list;
    for (const Entry& entry : entries)
        list.append(toJson(entry));
    const QJsonObject object { { QStringLiteral("name"), name }, { QStringLiteral("from"), fromVersion },
        { QStringLiteral("to"), toVersion }, { QStringLiteral("entries"), list } };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

bool DeltaManifest::parse(const QByteArray& json, DeltaManifest* manifest, QString* reason)
{
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(json, &error).object();
    const QJsonValue entries = object.value(QLatin1String("entries"));
    if (error.error != QJsonParseError::NoError || !entries.isArray()) {
        *reason = tr("its manifest is not a list of entries");
        return false;
    }
    DeltaManifest parsed;
    parsed.name = object.value(QLatin1String("name")).toString();
    parsed.fromVersion = object.value(QLatin1String("from")).toString();
    parsed.toVersion = object.value(QLatin1String("to")).toString();
    for (const QJsonValue& value : entries.toArray()) {
        Entry entry;
        if (!parseEntry(value, &entry)) {
            *reason = tr("its manifest holds an unusable entry (%1)")
                          .arg(QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact)));
            return false;
        }
        parsed.entries.append(entry);
    }
    *manifest = parsed;
    return true;
}

int DeltaManifest::windowLogFor(quint64 size, quint64 referenceSize)
{
    const quint64 total = size + referenceSize;
    int log = 10; // the smallest window zstd knows
    while (log < 31 && (quint64(1) << log) < total)
        ++log;
    return log;
}

} // namespace Updater
