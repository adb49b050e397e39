#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>

// A resident TavAgent of a test's own: installed as <root>/TavAgent/TavAgent
// with the update library, with its own HOME, settings, cache and runtime
// directories, so agents of tests running side by side never meet. Its bridge
// listens on a free port unless the test sets "listen_port". Stopped with
// SIGTERM by the destructor.
class ResidentAgent
{
public:
    ResidentAgent();
    ~ResidentAgent();

    // Where tools go: the directory that holds the agent's directory.
    QString root() const;
    QString agentDirectory() const;

    // The agent's environment: its own home, settings, cache and runtime
    // directories, which a launch-mode agent of the same user shares.
    QProcessEnvironment environment() const;

    // Written to the agent's settings before start().
    void setSetting(const QString& key, const QVariant& value);

    // Starts the agent and waits until its bridge listens, or has said that it
    // cannot; false with errorString() when the agent does not get that far.
    bool start();
    bool stop();
    QString errorString() const { return m_error; }

    quint16 port() const { return m_port; }
    QByteArray trace() const;
    QProcess& process() { return m_process; }

    // A port nothing listens on at the moment of asking.
    static quint16 freePort();

private:
    QString settingsFile() const;

    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_error;
};
