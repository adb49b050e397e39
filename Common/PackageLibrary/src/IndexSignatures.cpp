#include "IndexSignatures.h"

#include "Signature.h"

#include <QJsonArray>

#include <algorithm>

namespace Updater {

namespace {

const QString signaturesField = QStringLiteral("signatures");
const QString signatureField = QStringLiteral("signature");
const QString keyField = QStringLiteral("key");

QString base64(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

// Empty unless the value is a string of strict base64 that decodes to size bytes.
QByteArray decoded(const QJsonValue& value, int size)
{
    const auto result
        = QByteArray::fromBase64Encoding(value.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!value.isString() || result.decodingStatus != QByteArray::Base64DecodingStatus::Ok
        || result.decoded.size() != size)
        return QByteArray();
    return result.decoded;
}

// The single fields first, then the list: {key, signature} pairs as written.
QList<QJsonObject> signers(const QJsonObject& envelope)
{
    QList<QJsonObject> all;
    if (envelope.contains(signatureField))
        all.append({ { keyField, envelope.value(keyField) }, { signatureField, envelope.value(signatureField) } });
    const QJsonArray list = envelope.value(signaturesField).toArray();
    for (int i = 0; i < list.size() && i < IndexSignatures::maximumSigners(); ++i)
        all.append(list.at(i).toObject());
    return all;
}

} // namespace

void IndexSignatures::sign(const QByteArray& message, const QList<QByteArray>& secretKeys, QJsonObject* envelope)
{
    QJsonArray list;
    for (const QByteArray& secretKey : secretKeys) {
        const QString signature = base64(Signature::sign(message, secretKey));
        const QString key = base64(Signature::publicKeyOf(secretKey));
        if (list.isEmpty()) {
            envelope->insert(signatureField, signature);
            envelope->insert(keyField, key);
        }
        list.append(QJsonObject { { keyField, key }, { signatureField, signature } });
    }
    if (!list.isEmpty())
        envelope->insert(signaturesField, list);
}

bool IndexSignatures::isSigned(const QJsonObject& envelope)
{
    return envelope.contains(signatureField) || envelope.contains(signaturesField);
}

IndexSignatures::Check IndexSignatures::check(
    const QJsonObject& envelope, const QByteArray& message, const QList<QByteArray>& trustedKeys)
{
    if (!isSigned(envelope))
        return Check::Unsigned;
    for (const QJsonObject& signer : signers(envelope)) {
        const QByteArray signature = decoded(signer.value(signatureField), Signature::signatureSize());
        if (!signature.isEmpty() && std::any_of(trustedKeys.cbegin(), trustedKeys.cend(), [&](const QByteArray& key) {
                return Signature::verify(message, signature, key);
            }))
            return Check::Verified;
    }
    return Check::Refused;
}

QStringList IndexSignatures::statedSigners(const QJsonObject& envelope)
{
    QStringList keys;
    for (const QJsonObject& signer : signers(envelope)) {
        // Decoded and encoded again: what reaches a log is base64, whatever the file held.
        const QByteArray key = decoded(signer.value(keyField), Signature::publicKeySize());
        if (!key.isEmpty() && !keys.contains(keyText(key)))
            keys.append(keyText(key));
    }
    return keys;
}

QString IndexSignatures::keyText(const QByteArray& publicKey)
{
    return base64(publicKey);
}

} // namespace Updater
