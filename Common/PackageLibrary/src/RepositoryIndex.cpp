#include "RepositoryIndex.h"

#include "IndexSignatures.h"
#include "Updater/Version.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace Updater {

namespace {

const QString formatName = QStringLiteral("tavlo-repository-index-1");
// Signed together with the payload, so a signature made by the same key for
// anything else can never pass as an index signature.
const QByteArray signingContext = QByteArrayLiteral("tavlo-repository-index-1\n");
// Sizes beyond 2^53 would lose precision in JSON; no archive comes near.
const double maximumArchiveSize = 9007199254740992.0;

bool isValidSize(const QJsonValue& size)
{
    return size.isDouble() && size.toDouble() >= 0 && size.toDouble() <= maximumArchiveSize
        && size.toDouble() == double(quint64(size.toDouble()));
}

QString tr(const char* text)
{
    return QCoreApplication::translate("Updater::RepositoryIndex", text);
}

QJsonObject toJson(const IndexEntry& entry)
{
    QJsonObject object { { QStringLiteral("name"), entry.name }, { QStringLiteral("version"), entry.version },
        { QStringLiteral("archive"), entry.archive }, { QStringLiteral("size"), double(entry.size) },
        { QStringLiteral("sha256"), QString::fromLatin1(entry.sha256.toHex()) },
        { QStringLiteral("title"), entry.title }, { QStringLiteral("description"), entry.description } };
    if (!entry.platform.isEmpty())
        object.insert(QStringLiteral("platform"), entry.platform);
    if (entry.unpackedSize >= 0)
        object.insert(QStringLiteral("unpacked"), double(entry.unpackedSize));
    QJsonArray deltas;
    for (const IndexDelta& delta : entry.deltas) {
        deltas.append(QJsonObject { { QStringLiteral("from"), delta.fromVersion },
            { QStringLiteral("archive"), delta.archive }, { QStringLiteral("size"), double(delta.size) },
            { QStringLiteral("sha256"), QString::fromLatin1(delta.sha256.toHex()) },
            { QStringLiteral("unpacked"), double(delta.unpackedSize) } });
    }
    if (!deltas.isEmpty())
        object.insert(QStringLiteral("deltas"), deltas);
    return object;
}

bool isSha256Hex(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-fA-F]{64}$"));
    return pattern.match(text).hasMatch();
}

// A delta this reader cannot use is left out; the archive still serves.
QList<IndexDelta> parseDeltas(const QJsonValue& value)
{
    QList<IndexDelta> deltas;
    for (const QJsonValue& item : value.toArray()) {
        const QJsonObject object = item.toObject();
        IndexDelta delta;
        delta.fromVersion = object.value(QLatin1String("from")).toString();
        delta.archive = object.value(QLatin1String("archive")).toString();
        const QJsonValue size = object.value(QLatin1String("size"));
        const QJsonValue unpacked = object.value(QLatin1String("unpacked"));
        const QString sha256 = object.value(QLatin1String("sha256")).toString();
        if (!Version::isValid(delta.fromVersion) || !RepositoryIndex::isSafeArchiveName(delta.archive)
            || !isValidSize(size) || !isValidSize(unpacked) || !isSha256Hex(sha256))
            continue;
        delta.size = quint64(size.toDouble());
        delta.unpackedSize = quint64(unpacked.toDouble());
        delta.sha256 = QByteArray::fromHex(sha256.toLatin1());
        deltas.append(delta);
    }
    return deltas;
}

bool parseEntry(const QJsonValue& value, IndexEntry* entry, QString* reason)
{
    const QJsonObject object = value.toObject();
    const auto text = [&object](const char* key) { return object.value(QLatin1String(key)).toString(); };
    entry->name = text("name");
    entry->version = text("version");
    entry->platform = text("platform");
    entry->archive = text("archive");
    entry->title = text("title");
    entry->description = text("description");
    const QJsonValue size = object.value(QLatin1String("size"));
    // Indexes written before it was recorded have no unpacked size.
    const QJsonValue unpacked = object.value(QLatin1String("unpacked"));
    const QString sha256 = text("sha256");

    if (!value.isObject() || entry->name.trimmed().isEmpty())
        *reason = tr("an entry has no package name");
    else if (!Version::isValid(entry->version))
        *reason = tr("package %1 has the invalid version \"%2\"").arg(entry->name, entry->version);
    else if (!RepositoryIndex::isSafeArchiveName(entry->archive))
        *reason = tr("package %1 names the archive \"%2\", which is not a plain relative file name")
                      .arg(entry->name, entry->archive);
    else if (!isValidSize(size))
        *reason = tr("package %1 has no valid archive size").arg(entry->name);
    else if (!unpacked.isUndefined() && !isValidSize(unpacked))
        *reason = tr("package %1 has no valid unpacked size").arg(entry->name);
    else if (!isSha256Hex(sha256))
        *reason = tr("package %1 has no valid SHA-256").arg(entry->name);
    else {
        entry->size = quint64(size.toDouble());
        entry->unpackedSize = unpacked.isUndefined() ? -1 : qint64(unpacked.toDouble());
        entry->sha256 = QByteArray::fromHex(sha256.toLatin1());
        entry->deltas = parseDeltas(object.value(QLatin1String("deltas")));
        return true;
    }
    return false;
}

// Only a moment that says where it is in time: a local time would mean
// something else on every agent.
QDateTime parseTime(const QJsonValue& value)
{
    const QDateTime time = QDateTime::fromString(value.toString(), Qt::ISODate);
    if (!value.isString() || !time.isValid() || time.timeSpec() == Qt::LocalTime)
        return QDateTime();
    return time.toUTC();
}

QByteArray fromStrictBase64(const QJsonValue& value, bool* ok)
{
    const QByteArray text = value.toString().toLatin1();
    const auto result = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    *ok = value.isString() && result.decodingStatus == QByteArray::Base64DecodingStatus::Ok;
    return result.decoded;
}

} // namespace

bool IndexEntry::appliesTo(const QString& platformIdentifier) const
{
    return platform.isEmpty() || platform.compare(platformIdentifier, Qt::CaseInsensitive) == 0;
}

QUrl RepositoryIndex::indexUrl(const QUrl& repositoryUrl)
{
    QUrl url = repositoryUrl;
    QString path = url.path();
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    url.setPath(path + fileName());
    url.setQuery(QString());
    url.setFragment(QString());
    return url;
}

bool RepositoryIndex::isSafeArchiveName(const QString& name)
{
    static const QRegularExpression part(QStringLiteral("^[A-Za-z0-9._+-]+$"));
    if (name.isEmpty())
        return false;
    const QStringList parts = name.split(QLatin1Char('/'));
    return std::all_of(parts.cbegin(), parts.cend(), [](const QString& p) {
        return p != QLatin1String(".") && p != QLatin1String("..") && part.match(p).hasMatch();
    });
}

void RepositoryIndex::addOrReplace(const IndexEntry& entry)
{
    for (IndexEntry& existing : entries) {
        if (existing.name == entry.name && Version::compare(existing.version, entry.version) == 0
            && existing.platform.compare(entry.platform, Qt::CaseInsensitive) == 0) {
            existing = entry;
            return;
        }
    }
    entries.append(entry);
}

const IndexEntry* RepositoryIndex::newestFor(
    const QString& name, const QString& platformIdentifier, const QString& newerThan) const
{
    const IndexEntry* newest = nullptr;
    for (const IndexEntry& entry : entries) {
        if (entry.name.compare(name, Qt::CaseInsensitive) != 0 || !entry.appliesTo(platformIdentifier))
            continue;
        if (Version::compare(entry.version, newerThan) <= 0)
            continue;
        // Of equal versions, one made for this platform beats one for any platform.
        if (!newest || Version::compare(entry.version, newest->version) > 0
            || (Version::compare(entry.version, newest->version) == 0 && newest->platform.isEmpty()))
            newest = &entry;
    }
    return newest;
}

QString RepositoryIndex::timeText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODate);
}

QByteArray RepositoryIndex::payload() const
{
    QJsonArray packages;
    for (const IndexEntry& entry : entries)
        packages.append(toJson(entry));
    QJsonObject object { { QStringLiteral("target"), target }, { QStringLiteral("packages"), packages } };
    if (expires.isValid())
        object.insert(QStringLiteral("expires"), timeText(expires));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray RepositoryIndex::toFile(const QList<QByteArray>& secretKeys) const
{
    return fileOf(payload(), secretKeys);
}

QByteArray RepositoryIndex::fileOf(const QByteArray& payload, const QList<QByteArray>& secretKeys)
{
    QJsonObject envelope { { QStringLiteral("format"), formatName },
        { QStringLiteral("payload"), QString::fromLatin1(payload.toBase64()) } };
    IndexSignatures::sign(signingContext + payload, secretKeys, &envelope);
    return QJsonDocument(envelope).toJson(QJsonDocument::Indented);
}

QByteArray RepositoryIndex::withExpiry(const QByteArray& payload, const QDateTime& expires)
{
    QJsonObject object = QJsonDocument::fromJson(payload).object();
    object.insert(QStringLiteral("expires"), timeText(expires));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

RepositoryIndex::ReadResult RepositoryIndex::read(const QByteArray& file, const QList<QByteArray>& trustedKeys,
    RepositoryIndex* index, bool* isSigned, QString* reason)
{
    QByteArray body;
    const ReadResult result = readPayload(file, trustedKeys, &body, isSigned, reason);
    if (result != ReadResult::Ok)
        return result;
    // Only a payload whose signature held is parsed when keys are given.
    return parsePayload(body, index, reason) ? ReadResult::Ok : ReadResult::FormatError;
}

RepositoryIndex::ReadResult RepositoryIndex::readPayload(
    const QByteArray& file, const QList<QByteArray>& trustedKeys, QByteArray* payload, bool* isSigned, QString* reason)
{
    *isSigned = false;
    if (file.size() > maximumFileSize()) {
        *reason = tr("the index is larger than %1 bytes").arg(maximumFileSize());
        return ReadResult::FormatError;
    }
    QJsonParseError parseError;
    const QJsonObject envelope = QJsonDocument::fromJson(file, &parseError).object();
    if (parseError.error != QJsonParseError::NoError || envelope.value(QLatin1String("format")) != formatName) {
        *reason
            = tr("not a repository index (%1)")
                  .arg(parseError.error != QJsonParseError::NoError ? parseError.errorString() : tr("unknown format"));
        return ReadResult::FormatError;
    }
    bool payloadOk = false;
    const QByteArray body = fromStrictBase64(envelope.value(QLatin1String("payload")), &payloadOk);
    if (!payloadOk) {
        *reason = tr("the index holds no readable payload");
        return ReadResult::FormatError;
    }

    *isSigned = IndexSignatures::isSigned(envelope);
    if (!trustedKeys.isEmpty()) {
        switch (IndexSignatures::check(envelope, signingContext + body, trustedKeys)) {
        case IndexSignatures::Check::Unsigned:
            *reason = tr("the index is not signed");
            return ReadResult::TrustError;
        case IndexSignatures::Check::Refused: {
            const QStringList signers = IndexSignatures::statedSigners(envelope);
            *reason = signers.isEmpty() ? tr("the index is not signed by a trusted key; it names no signing key")
                                        : tr("the index is not signed by a trusted key; it says it was signed by %1")
                                              .arg(signers.join(QStringLiteral(", ")));
            return ReadResult::TrustError;
        }
        case IndexSignatures::Check::Verified:
            break;
        }
    }
    *payload = body;
    return ReadResult::Ok;
}

bool RepositoryIndex::parsePayload(const QByteArray& payload, RepositoryIndex* index, QString* reason)
{
    QJsonParseError parseError;
    const QJsonObject object = QJsonDocument::fromJson(payload, &parseError).object();
    const QJsonValue packages = object.value(QLatin1String("packages"));
    if (parseError.error != QJsonParseError::NoError || !packages.isArray()) {
        *reason = tr("the index payload is not a package list");
        return false;
    }
    RepositoryIndex parsed;
    parsed.target = object.value(QLatin1String("target")).toString();
    // Indexes written before they could expire, or without --expires-in, never do.
    const QJsonValue expires = object.value(QLatin1String("expires"));
    if (!expires.isUndefined()) {
        parsed.expires = parseTime(expires);
        if (!parsed.expires.isValid()) {
            *reason = tr("the index states the unreadable expiry \"%1\"").arg(expires.toVariant().toString());
            return false;
        }
    }
    for (const QJsonValue& value : packages.toArray()) {
        IndexEntry entry;
        if (!parseEntry(value, &entry, reason))
            return false;
        parsed.entries.append(entry);
    }
    *index = parsed;
    return true;
}

} // namespace Updater
