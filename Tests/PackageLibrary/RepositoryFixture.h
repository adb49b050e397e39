#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace Vondra::Testing {

struct ToolRun
{
    int exitCode = -1;
    QString output;
    QString errors;
};

// Runs tavrepo from the build's program directory (TAVLO_BIN_DIR).
ToolRun runTavrepo(const QStringList& arguments);

// Writes files (relative path -> content) into a directory, creating it.
bool writeTree(const QString& directory, const QMap<QString, QByteArray>& files);

// A repository root made with tavrepo in a temporary directory, with a signing
// key made by "tavrepo keygen".
class RepositoryFixture
{
public:
    RepositoryFixture();
    bool isValid() const;
    QString root() const { return m_root.filePath(QStringLiteral("repo")); }
    QString secretKey() const { return m_root.filePath(QStringLiteral("signing.key")); }
    QString publicKey() const { return secretKey() + QStringLiteral(".pub"); }
    QString indexPath(const QString& target) const;

    // "tavrepo add" of a package made of files; signed unless key is "" (or the given key file).
    ToolRun add(const QString& name, const QString& version, const QMap<QString, QByteArray>& files,
        const QString& platform = QString(), const QString& key = QStringLiteral("default"));

private:
    QTemporaryDir m_root;
    bool m_keyMade = false;
    int m_packages = 0;
};

} // namespace Vondra::Testing
