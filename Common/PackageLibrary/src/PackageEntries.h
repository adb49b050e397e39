#pragma once

#include <QCoreApplication>
#include <QFileDevice>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Updater {

// The entries of one package as they are staged, whether they come from an
// archive or are rebuilt from a delta, and the rules an entry must pass to
// join them: no two names that only case tells apart, nothing below a link,
// no link replacing an entry or leaving the package, no file where a
// directory was made. Paths are clean relative names (PackagePath).
class PackageEntries
{
    Q_DECLARE_TR_FUNCTIONS(PackageEntries)

public:
    // Why an entry at relative may not be staged at all, or an empty string.
    // Remembers its name (and its parents') for the case checks that follow.
    QString refusalOf(const QString& relative);
    // Why a regular file (or a copy of one) may not be staged at relative.
    QString refusalOfFile(const QString& relative) const;
    // Why a link to target may not be staged at relative.
    QString refusalOfLink(const QString& relative, const QString& target) const;

    // The parents of relative that are not staged yet, from the top: the
    // caller makes them and adds them.
    QStringList missingParentsOf(const QString& relative) const;
    bool hasDirectory(const QString& relative) const { return m_directorySet.contains(relative); }
    bool isRegularFile(const QString& relative) const { return m_regularFiles.contains(relative); }
    // The staged link that relative lies below, or an empty string.
    QString linkAbove(const QString& relative) const;

    void addDirectory(const QString& relative);
    void addRegularFile(const QString& relative);
    void addLink(const QString& relative);

    // Files and links, each once, in the order staged.
    QStringList files() const { return m_files; }
    // Directories, parents before children.
    QStringList directories() const { return m_directories; }

    // What a staged file's mode bits become: the owner may always read and
    // write (a later update replaces the file), nobody else gets write access
    // and set-id bits are dropped.
    static QFileDevice::Permissions permissionsFromMode(int mode);

private:
    void addFile(const QString& relative);
    QString caseTwinOf(const QString& relative);

    QStringList m_files;
    QSet<QString> m_fileSet;
    QSet<QString> m_regularFiles;
    // By comparison key, so that "Lib/x" is refused below a link "lib" on file
    // systems that ignore case as well as on those that don't.
    QSet<QString> m_links;
    // Every path and parent path staged, by comparison key.
    QHash<QString, QString> m_namesByKey;
    QStringList m_directories;
    QSet<QString> m_directorySet;
};

} // namespace Updater
