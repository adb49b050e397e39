#pragma once

#include <QByteArray>

namespace Updater {

// Ed25519 signatures (libsodium). Keys and signatures are raw bytes.
class Signature
{
public:
    static int publicKeySize(); // 32
    static int secretKeySize(); // 64
    static int signatureSize(); // 64

    // False only when the crypto library cannot start.
    static bool generateKeyPair(QByteArray* publicKey, QByteArray* secretKey);
    // Empty when the secret key has the wrong size.
    static QByteArray sign(const QByteArray& message, const QByteArray& secretKey);
    static bool verify(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey);
    // The public half of a secret key (libsodium keeps it in the second half).
    static QByteArray publicKeyOf(const QByteArray& secretKey);
};

} // namespace Updater
