#include "Signature.h"

#include <sodium.h>

namespace Updater {

namespace {

bool cryptoReady()
{
    // Safe to call from any thread, any number of times.
    return sodium_init() >= 0;
}

const unsigned char* bytes(const QByteArray& data)
{
    return reinterpret_cast<const unsigned char*>(data.constData());
}

} // namespace

int Signature::publicKeySize()
{
    return crypto_sign_PUBLICKEYBYTES;
}

int Signature::secretKeySize()
{
    return crypto_sign_SECRETKEYBYTES;
}

int Signature::signatureSize()
{
    return crypto_sign_BYTES;
}

bool Signature::generateKeyPair(QByteArray* publicKey, QByteArray* secretKey)
{
    if (!cryptoReady())
        return false;
    publicKey->resize(crypto_sign_PUBLICKEYBYTES);
    secretKey->resize(crypto_sign_SECRETKEYBYTES);
    return crypto_sign_keypair(
               reinterpret_cast<unsigned char*>(publicKey->data()), reinterpret_cast<unsigned char*>(secretKey->data()))
        == 0;
}

QByteArray Signature::sign(const QByteArray& message, const QByteArray& secretKey)
{
    if (!cryptoReady() || secretKey.size() != int(crypto_sign_SECRETKEYBYTES))
        return QByteArray();
    QByteArray signature(crypto_sign_BYTES, Qt::Uninitialized);
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr, bytes(message),
        size_t(message.size()), bytes(secretKey));
    return signature;
}

bool Signature::verify(const QByteArray& message, const QByteArray& signature, const QByteArray& publicKey)
{
    if (!cryptoReady() || signature.size() != int(crypto_sign_BYTES)
        || publicKey.size() != int(crypto_sign_PUBLICKEYBYTES))
        return false;
    return crypto_sign_verify_detached(bytes(signature), bytes(message), size_t(message.size()), bytes(publicKey)) == 0;
}

QByteArray Signature::publicKeyOf(const QByteArray& secretKey)
{
    if (!cryptoReady() || secretKey.size() != int(crypto_sign_SECRETKEYBYTES))
        return QByteArray();
    QByteArray publicKey(crypto_sign_PUBLICKEYBYTES, Qt::Uninitialized);
    crypto_sign_ed25519_sk_to_pk(reinterpret_cast<unsigned char*>(publicKey.data()), bytes(secretKey));
    return publicKey;
}

} // namespace Updater
