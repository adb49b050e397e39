#pragma once

#include "TestFiles.h"

#include "NginxServer.h"

#include <QMap>
#include <QTemporaryDir>

namespace Vondra::Testing {

// An update repository published with the real tavrepo and served by nginx on
// loopback, the way operators run one.
class TestRepository
{
public:
    explicit TestRepository(const QString& extraServerConfig = QString());

    bool start();
    QString errorString() const { return m_error; }
    // What TavUpdate reads from update_host.dat: the server root, with its "/".
    QString baseUrl() const;

    // Publishes files (relative path -> content) as package name at version,
    // signing the index with the secret key file when one is given.
    bool publish(const QString& name, const QString& version, const QMap<QString, QByteArray>& files,
        const QString& keyFile = QString());
    // Publishes the files of packageDir as they are (modes included).
    bool publishDirectory(
        const QString& name, const QString& version, const QString& packageDir, const QString& keyFile = QString());
    // A new key pair: the secret key in path, the public one in path + ".pub".
    bool makeKey(const QString& path);
    // Signs every index anew with each key; with days, they expire that many days from now.
    bool resign(const QStringList& keyFiles, int expiresInDays = 0);

    // What update_key.pub holds for a repository nobody signs.
    static QByteArray allowUnsignedKeyFile() { return QByteArrayLiteral("allow-unsigned\n"); }
    // The platform TavUpdate asks for on this system.
    static QString platform();
    static QString binDirectory();
    // Copies the built programs (base names, e.g. "TavUpdate") and the update
    // library into directory, side by side as they are installed; they find
    // each other through $ORIGIN. False with error when a copy fails.
    static bool installPrograms(const QString& directory, const QStringList& programs, QString* error);

private:
    bool runTavrepo(const QStringList& arguments);

    QTemporaryDir m_root;
    QTemporaryDir m_staging;
    NginxServer m_server;
    QString m_error;
};

} // namespace Vondra::Testing
