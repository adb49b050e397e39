#pragma once

#include "ProcessRunner.h"

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

namespace Vondra::Testing {

// An agent's directory of a test's own and the user who runs it, in one
// temporary directory ("root"):
//   <root>/Apps/TavAgent  the agent's directory (agentPath); tools go beside it
//   <root>/home           the user's home (homePath), with settings, caches
//                         and runtime directory in it (childEnvironment)
//   <root>/work           a working directory of its own for launches
// So agents of tests running side by side never meet, and nothing of the
// real user's is touched. The directory starts empty: install() or
// installUpdating() put programs into it (or a test's own script does).
// Everything it started, and every process still running its program, is
// ended with the object.
class InstalledAgent
{
public:
    explicit InstalledAgent(
        const QString& agentPath = QStringLiteral("Apps/TavAgent"), const QString& homePath = QStringLiteral("home"));
    ~InstalledAgent();

    InstalledAgent(const InstalledAgent&) = delete;
    InstalledAgent& operator=(const InstalledAgent&) = delete;

    bool isValid() const;
    QString root() const { return m_root.path(); }
    QString appsDir() const; // holds the agent's directory and the tools
    QString agentDir() const { return m_root.filePath(m_agentPath); }
    QString program() const; // <agentDir>/TavAgent
    QString home() const { return m_root.filePath(m_homePath); }
    QString workDir() const { return m_root.filePath(QStringLiteral("work")); }
    QString settingsFile() const; // the agent's settings as the user's
    QProcessEnvironment environment() const { return childEnvironment(home()); }

    // Copies program into the agent's directory as name (with the update library).
    bool install(const QString& program, const QString& name = QStringLiteral("TavAgent"));
    // The built TavAgent and TavUpdate, updating from the server at updateHost
    // ("update_host.dat") and trusting the public key in publicKeyFile.
    bool installUpdating(const QString& updateHost, const QString& publicKeyFile, QString* error = nullptr);

    void setSetting(const QString& key, const QVariant& value) const;
    QVariant setting(const QString& key) const;
    QByteArray trace() const; // the agent's trace.log

    // Runs the agent once to its end (e.g. a launch), from workingDir.
    ProcessRun run(const QStringList& arguments, const QString& workingDir) const;
    ProcessRun run(const QStringList& arguments) const { return run(arguments, workDir()); }

    // Starts the agent resident (installing the built agent first when the
    // directory has none) and waits until its bridge listens, or has said that
    // it cannot; false with errorString() when the agent does not get that
    // far. The bridge listens on a free port unless "listen_port" is set.
    bool start();
    // Ends the resident agent with SIGTERM; whether it ended cleanly.
    bool stop();
    QString errorString() const { return m_error; }
    quint16 port() const { return m_port; }
    QProcess& process() { return m_process; }

    // A port nothing listens on at the moment of asking.
    static quint16 freePort();

private:
    QTemporaryDir m_root;
    QString m_agentPath;
    QString m_homePath;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};

} // namespace Vondra::Testing
