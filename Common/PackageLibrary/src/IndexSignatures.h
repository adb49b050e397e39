#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QStringList>

namespace Updater {

// The signatures an index file carries over its payload, so that several keys
// can vouch for one index while a publisher moves from one key to another.
// Every signer goes into the list "signatures" ({"key", "signature"}, base64);
// the first one also into the single "signature" and "key" fields, which are
// all that updaters from before the list read: they still accept an index
// that their key signed first. The stated keys are for people: a signature is
// checked against every trusted key, never against the key it names.
class IndexSignatures
{
public:
    enum class Check { Unsigned, Refused, Verified };

    // An index names at most this many signers; further entries are not
    // looked at, so a stuffed list costs no more than a full one.
    static int maximumSigners() { return 16; }

    // Adds the signature fields for message signed by each secret key, in order.
    static void sign(const QByteArray& message, const QList<QByteArray>& secretKeys, QJsonObject* envelope);
    static bool isSigned(const QJsonObject& envelope);
    // Verified when any signature holds for any trusted key; Unsigned when the
    // envelope carries no signature at all.
    static Check check(const QJsonObject& envelope, const QByteArray& message, const QList<QByteArray>& trustedKeys);
    // The keys the envelope says signed it, as key files write them; unchecked.
    static QStringList statedSigners(const QJsonObject& envelope);
    // A public key as key files and logs show it: its base64.
    static QString keyText(const QByteArray& publicKey);
};

} // namespace Updater
