#pragma once

#include "UpgradeContext.h"

#include <QProcess>
#include <QString>
#include <QStringList>

namespace Vondra {

// Replaces the directory dst by a copy of the directory src; hidden entries are
// left out. Only dst itself is created, so its parent must exist. False at the
// first entry that cannot be copied; what was copied so far stays.
bool backup(const QString& src, const QString& dst);

// Removes the directory tree at path, hidden entries included. Links are
// removed, never followed. True when there was nothing to remove.
bool removeDir(const QString& path);

// Keeps the agent and the tools beside it up to date by running TavUpdate,
// which takes every update decision: the agent passes a target's name,
// directory and version and reads back the number of updates (negative for
// failure). Its own process object is never started.
//
// Within one agent process, update work on a directory runs one request at a
// time, and the agent hands over to TavUpdate at most once.
class Upgrade : public QProcess
{
    Q_OBJECT

public:
    explicit Upgrade(UpgradeContext context = {});

    // Whether TavUpdate at program finds updates for the target name in dir.
    bool checkUpdate(const QString& program, const QString& name, const QString& dir);

    // Makes the directory of tool beside the agent's directory if needed and
    // lets TavUpdate install or update the tool there (blocking). Returns the
    // tool's directory, or an empty string when there is none. A request that
    // waited here while another updated the same tool does not check again.
    QString upgradeTools(const QString& tool, const QString& exeName);

    // Removes the tool directory that upgradeTools made for this request when
    // it holds nothing but the placeholder record TavUpdate registered, as
    // after a request for a tool that exists nowhere. Directories made before,
    // by anyone, and directories that hold anything else stay.
    void removeUnusedToolDir();

    // Checks the agent itself and, when it has an update, hands over; leaves
    // it to the resident agent, and tells that one, where another runs.
    // False when there was no update or no hand-over could begin.
    bool upgradeSelf();

    // The agent's own update: copies the agent's directory into a fresh
    // directory only this user can write, then, on the GUI thread, lets the
    // context's beforeHandOver run, starts TavUpdate from the copy to update
    // and restart the agent, and ends the event loop. When the copy cannot be
    // made, nothing is started and the agent keeps running. Called off the
    // GUI thread, the start is queued there and true means it was queued.
    bool handOver();

private:
    QStringList checkArguments(const QString& name, const QString& dir) const;
    QStringList installArguments(const QString& tool, const QString& dir) const;
    QStringList handOverArguments() const;

    // TavUpdate's exit code as the program returned it: Linux keeps only its
    // low 8 bits, so -1 arrives as 255.
    static int updaterResult(int exitCode);

    const UpgradeContext m_context;
    const QString m_updaterFileName;
    const QString m_updaterPath;
    // The tool directory that upgradeTools made, until removeUnusedToolDir.
    QString m_madeToolDir;
};

} // namespace Vondra
