#pragma once

#include "NginxServer.h"
#include "ProcessRunner.h"

#include <QMap>
#include <QStringList>
#include <QTemporaryDir>

#include <optional>

namespace Vondra::Testing {

// An update repository published with the real tavrepo in a temporary
// directory, with a signing key of its own ("tavrepo keygen"). Two modes:
//   file://  read it where it lies: url(), or root() for a path;
//   served   after start(), nginx serves it on a free loopback port, the way
//            operators run one: baseUrl().
class TestRepository
{
public:
    // extraServerConfig is pasted into nginx's server block (e.g. limit_rate).
    explicit TestRepository(const QString& extraServerConfig = QString());

    // The directories and the repository's own key were made.
    bool isValid() const { return m_valid; }
    QString errorString() const { return m_error; }

    QString root() const; // what "tavrepo add" writes into
    QString url() const; // file:// URL of root(), with its "/"
    QString secretKey() const; // the repository's own signing key...
    QString publicKey() const; // ...and the public half, as update_key.pub holds it
    QString indexPath(const QString& target) const;

    // Served mode: starts nginx; baseUrl() then is what TavUpdate reads from
    // update_host.dat, the server root with its "/".
    bool start();
    QString baseUrl() const;

    // "tavrepo add" of a package made of files (relative path -> content), or
    // of a directory as it is (modes included). Signed with the repository's
    // own key unless keyFile names another one, or is empty for no signature;
    // for any platform unless one is named.
    ProcessRun add(const QString& name, const QString& version, const QMap<QString, QByteArray>& files,
        const QString& platform = QString(), const std::optional<QString>& keyFile = std::nullopt);
    ProcessRun addDirectory(const QString& name, const QString& version, const QString& packageDir,
        const QString& platform = QString(), const std::optional<QString>& keyFile = std::nullopt);

    // tavrepo's archive options for what add() publishes next. "--level 1"
    // unless set: packages here are often the built programs, tens of MiB,
    // which at tavrepo's default level take seconds each to compress.
    void setArchiveOptions(const QStringList& options) { m_archiveOptions = options; }

    // For TavUpdate on this system: the package for platform(), unsigned
    // unless keyFile is given; false with errorString().
    bool publish(const QString& name, const QString& version, const QMap<QString, QByteArray>& files,
        const QString& keyFile = QString());
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
    // Runs tavrepo of the build.
    static ProcessRun runTavrepo(const QStringList& arguments);

private:
    bool succeeded(const ProcessRun& run, const QStringList& what);

    QTemporaryDir m_dir;
    NginxServer m_server;
    int m_packages = 0;
    QStringList m_archiveOptions { QStringLiteral("--level"), QStringLiteral("1") };
    bool m_valid = false;
    QString m_error;
};

} // namespace Vondra::Testing
