#pragma once

#include "UpgradeContext.h"

#include <QObject>
#include <QRunnable>
#include <QString>
#include <QStringList>

namespace Vondra {

// What a launch request asks for: the tool and its command-line arguments.
struct LaunchTarget
{
    QString tool; // empty when the request names no tool
    QStringList arguments;
};

// One launch request, a "tavlo://" URL or the target of an HTTP request:
// brings the named tool up to date in its directory beside the agent's, starts
// it with the request's arguments, then lets the agent update itself. A
// request that names no tool, or passes an argument that begins with "-",
// does none of it. Runs once, on a pool thread (which deletes it) or directly
// on the GUI thread.
class LaunchApplication : public QObject, public QRunnable
{
    Q_OBJECT

public:
    explicit LaunchApplication(const QString& request, UpgradeContext upgradeContext = {});

    void run() override;

    // The request grammar, given the text without its "tavlo://":
    //  - path form, "Tool/?a+b%2Bc": the tool before the first "?" (less every
    //    "/"), the arguments split at "+" after it ("%2B" is a "+" too);
    //  - query form, "?callback=cb&tool=Tool&file=a.doc": the tool is the
    //    value of "tool" ("%40" is an "@"), the arguments every other
    //    key=value pair, less a leading "?callback" and any whose value is the
    //    tool's name.
    static LaunchTarget parseTarget(const QString& text);

    // Whether a parsed tool name names a directory beside the agent's and
    // nothing else: not the parent, not a path, not the agent itself (a page
    // would otherwise start the agent with arguments of its choosing).
    static bool namesTool(const QString& tool, const QString& agentDirName, const QString& agentName);

private:
    const QString m_request;
    const UpgradeContext m_upgradeContext;
};

} // namespace Vondra
