#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

namespace Updater {

// Key files in text form, one key a line:
//   "tavlo-ed25519-public <base64 of 32 bytes>"  (update_key.pub; several lines = several trusted keys)
//   "tavlo-ed25519-secret <base64 of 64 bytes>"  (the publisher's signing key, mode 0600)
// Blank lines and lines starting with '#' are ignored. A trusted key file may
// instead hold the line "allow-unsigned" and no key: for development
// repositories only, it accepts indexes nobody signed.
class KeyFile
{
public:
    static QString trustedKeyFileName() { return QStringLiteral("update_key.pub"); }
    // TAVUPDATER_KEY_FILE when set, else update_key.pub beside the running program.
    static QString trustedKeyPath();

    static QByteArray publicKeyLine(const QByteArray& publicKey);
    static QByteArray secretKeyLine(const QByteArray& secretKey);

    // At least one key; false with error when a line is not a key or no key is there.
    static bool readPublicKeys(const QString& path, QList<QByteArray>* keys, QString* error);
    // The trusted key file: its keys, or *allowUnsigned; false with error when
    // it is missing, damaged, or holds both.
    static bool readTrustedKeys(const QString& path, QList<QByteArray>* keys, bool* allowUnsigned, QString* error);
    static bool readSecretKey(const QString& path, QByteArray* key, QString* error);
    // A new key pair: the secret key in path (mode 0600), the public key in path + ".pub".
    // Never overwrites an existing key.
    static bool writeNewKeyPair(const QString& path, QString* error);
};

} // namespace Updater
