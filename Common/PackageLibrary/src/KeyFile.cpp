#include "KeyFile.h"

#include "Signature.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace Updater {

namespace {

const QByteArray publicTag = QByteArrayLiteral("tavlo-ed25519-public");
const QByteArray secretTag = QByteArrayLiteral("tavlo-ed25519-secret");
const QByteArray allowUnsignedLine = QByteArrayLiteral("allow-unsigned");
// A key file is a few lines; anything bigger is not one.
const qint64 maximumKeyFileSize = 64 * 1024;

// allowUnsigned, when given, also takes the line "allow-unsigned" instead of keys.
bool readKeys(const QString& path, const QByteArray& tag, int keySize, QList<QByteArray>* keys, QString* error,
    bool* allowUnsigned = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QCoreApplication::translate("Updater::KeyFile", "cannot read the key file %1: %2")
                     .arg(QDir::toNativeSeparators(path), file.errorString());
        return false;
    }
    const QByteArray content = file.read(maximumKeyFileSize + 1);
    if (content.size() > maximumKeyFileSize) {
        *error = QCoreApplication::translate("Updater::KeyFile", "%1 is too large to be a key file")
                     .arg(QDir::toNativeSeparators(path));
        return false;
    }
    keys->clear();
    if (allowUnsigned)
        *allowUnsigned = false;
    int lineNumber = 0;
    for (const QByteArray& rawLine : content.split('\n')) {
        ++lineNumber;
        const QByteArray line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        if (allowUnsigned && line == allowUnsignedLine) {
            *allowUnsigned = true;
            continue;
        }
        const QList<QByteArray> fields = line.simplified().split(' ');
        const QByteArray key = fields.size() == 2 ? QByteArray::fromBase64(fields.at(1)) : QByteArray();
        if (fields.size() != 2 || fields.at(0) != tag || key.size() != keySize) {
            *error = QCoreApplication::translate("Updater::KeyFile", "%1, line %2: expected \"%3 <base64 key>\"")
                         .arg(QDir::toNativeSeparators(path), QString::number(lineNumber), QString::fromLatin1(tag));
            return false;
        }
        keys->append(key);
    }
    // Both at once is a mistake, and guessing which was meant would either
    // refuse every update or accept unchecked ones.
    if (allowUnsigned && *allowUnsigned) {
        if (keys->isEmpty())
            return true;
        *error
            = QCoreApplication::translate("Updater::KeyFile", "%1 holds keys and \"%2\"; it must hold one or the other")
                  .arg(QDir::toNativeSeparators(path), QString::fromLatin1(allowUnsignedLine));
        return false;
    }
    if (keys->isEmpty()) {
        *error = QCoreApplication::translate("Updater::KeyFile", "%1 holds no key").arg(QDir::toNativeSeparators(path));
        return false;
    }
    return true;
}

bool writeKeyFile(const QString& path, const QByteArray& content, QFileDevice::Permissions permissions, QString* error)
{
    QSaveFile file(path);
    // The permissions go on before the key does, so it is never readable by others.
    const bool ok = file.open(QIODevice::WriteOnly) && file.setPermissions(permissions)
        && file.write(content) == content.size() && file.commit();
    if (!ok)
        *error = QCoreApplication::translate("Updater::KeyFile", "cannot write %1: %2")
                     .arg(QDir::toNativeSeparators(path), file.errorString());
    return ok;
}

} // namespace

QString KeyFile::trustedKeyPath()
{
    const QString overridden = qEnvironmentVariable("TAVUPDATER_KEY_FILE");
    if (!overridden.isEmpty())
        return overridden;
    return QDir(QCoreApplication::applicationDirPath()).filePath(trustedKeyFileName());
}

QByteArray KeyFile::publicKeyLine(const QByteArray& publicKey)
{
    return publicTag + ' ' + publicKey.toBase64() + '\n';
}

QByteArray KeyFile::secretKeyLine(const QByteArray& secretKey)
{
    return secretTag + ' ' + secretKey.toBase64() + '\n';
}

bool KeyFile::readPublicKeys(const QString& path, QList<QByteArray>* keys, QString* error)
{
    return readKeys(path, publicTag, Signature::publicKeySize(), keys, error);
}

bool KeyFile::readTrustedKeys(const QString& path, QList<QByteArray>* keys, bool* allowUnsigned, QString* error)
{
    if (!QFileInfo::exists(path)) {
        *error = QCoreApplication::translate("Updater::KeyFile", "there is no trusted key file %1")
                     .arg(QDir::toNativeSeparators(path));
        return false;
    }
    return readKeys(path, publicTag, Signature::publicKeySize(), keys, error, allowUnsigned);
}

bool KeyFile::readSecretKey(const QString& path, QByteArray* key, QString* error)
{
    QList<QByteArray> keys;
    if (!readKeys(path, secretTag, Signature::secretKeySize(), &keys, error)) {
        // The shipped half given where the publisher's own belongs: say so plainly.
        QString ignored;
        if (readKeys(path, publicTag, Signature::publicKeySize(), &keys, &ignored))
            *error = QCoreApplication::translate("Updater::KeyFile",
                "%1 holds a public key only, which cannot sign; give the secret key file that keygen wrote beside it")
                         .arg(QDir::toNativeSeparators(path));
        return false;
    }
    if (keys.size() != 1) {
        *error = QCoreApplication::translate("Updater::KeyFile", "%1 holds more than one secret key")
                     .arg(QDir::toNativeSeparators(path));
        return false;
    }
    *key = keys.first();
    return true;
}

bool KeyFile::writeNewKeyPair(const QString& path, QString* error)
{
    const QString publicPath = path + QStringLiteral(".pub");
    for (const QString& existing : { path, publicPath }) {
        if (QFileInfo::exists(existing)) {
            *error = QCoreApplication::translate("Updater::KeyFile", "%1 exists already; a key is never overwritten")
                         .arg(QDir::toNativeSeparators(existing));
            return false;
        }
    }
    QByteArray publicKey;
    QByteArray secretKey;
    if (!Signature::generateKeyPair(&publicKey, &secretKey)) {
        *error = QCoreApplication::translate("Updater::KeyFile", "cannot make a key: the crypto library did not start");
        return false;
    }
    const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const auto everyone = ownerOnly | QFileDevice::ReadGroup | QFileDevice::ReadOther;
    return writeKeyFile(path, secretKeyLine(secretKey), ownerOnly, error)
        && writeKeyFile(publicPath, publicKeyLine(publicKey), everyone, error);
}

} // namespace Updater
