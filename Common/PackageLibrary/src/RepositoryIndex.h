#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

namespace Updater {

// A delta that makes a package's version from an installed older one.
struct IndexDelta
{
    QString fromVersion;
    // File name relative to the repository's address, e.g. "tool-1.2-to-1.3-Linux32.delta".
    QString archive;
    quint64 size = 0;
    QByteArray sha256;
    // What the version it rebuilds unpacks to (see UnpackedSize).
    quint64 unpackedSize = 0;
};

// One archive that a repository offers.
struct IndexEntry
{
    QString name;
    QString version;
    // Empty: the archive suits every platform.
    QString platform;
    // File name relative to the repository's address, e.g. "tool-1.2-Linux32.tar.gz".
    QString archive;
    QString title;
    QString description;
    quint64 size = 0;
    // What the archive unpacks to (see UnpackedSize); -1 when the index does not say.
    qint64 unpackedSize = -1;
    // SHA-256 of the archive, 32 raw bytes.
    QByteArray sha256;
    // Ways to this version from older ones; readers that know none ignore them.
    QList<IndexDelta> deltas;

    bool appliesTo(const QString& platformIdentifier) const;
};

// The index of one target's repository, "index.json" at the repository's
// address: an envelope holding the index itself (the payload, compact JSON
// in base64) and Ed25519 signatures over exactly those bytes (see
// IndexSignatures). Index and signatures travel in one file, so a reader can
// never pair an old index with a new signature.
class RepositoryIndex
{
public:
    enum class ReadResult { Ok, FormatError, TrustError };

    static QString fileName() { return QStringLiteral("index.json"); }
    // An index is small; a larger answer is refused before it is parsed.
    static qint64 maximumFileSize() { return 1024 * 1024; }
    // repositoryUrl + "/index.json", whether or not the address ends in '/'.
    static QUrl indexUrl(const QUrl& repositoryUrl);
    // Plain relative names only: '/'-separated parts of letters, digits and ".-_+", no "." or "..".
    static bool isSafeArchiveName(const QString& name);

    QString target;
    QList<IndexEntry> entries;
    // Past this moment (UTC) finders refuse the index, so that a replayed old
    // one cannot hide newer releases for ever; invalid: it never expires.
    QDateTime expires;

    // How an index states a moment: ISO 8601 in UTC, "2026-12-08T17:00:00Z".
    static QString timeText(const QDateTime& time);

    // Adds the entry, replacing one with the same name, version and platform.
    void addOrReplace(const IndexEntry& entry);
    // The newest entry named so (case-insensitively) that applies to the
    // platform and is strictly newer than the given version, or null.
    const IndexEntry* newestFor(const QString& name, const QString& platformIdentifier, const QString& newerThan) const;

    // The index file, signed by each secret key given, the first one also in
    // the single signature field.
    QByteArray toFile(const QList<QByteArray>& secretKeys = {}) const;
    // An index file around payload bytes as they are, signed by each secret key.
    static QByteArray fileOf(const QByteArray& payload, const QList<QByteArray>& secretKeys);
    // The payload with its expiry set to expires, every other field kept as it was.
    static QByteArray withExpiry(const QByteArray& payload, const QDateTime& expires);
    // Parses an index file. With trusted keys, a file that is not signed by
    // one of them gives TrustError; without, any file that parses is accepted.
    // *isSigned tells whether the file carries a signature at all (checked
    // only when keys are given).
    static ReadResult read(const QByteArray& file, const QList<QByteArray>& trustedKeys, RepositoryIndex* index,
        bool* isSigned, QString* reason);
    // The payload bytes of an index file, checked as read() checks them but not parsed.
    static ReadResult readPayload(const QByteArray& file, const QList<QByteArray>& trustedKeys, QByteArray* payload,
        bool* isSigned, QString* reason);

private:
    QByteArray payload() const;
    static bool parsePayload(const QByteArray& payload, RepositoryIndex* index, QString* reason);
};

} // namespace Updater
