#include "AgentMain.h"

#include "AgentApp.h"
#include "LaunchApplication.h"
#include "OpenUrlEventHandler.h"
#include "ProductConfig.h"
#include "SingleApplication.h"
#include "TerminationRequest.h"
#include "TraceLog.h"
#include "UpdaterProcesses.h"

#include <QDebug>
#include <QSettings>
#include <QStringList>

namespace Vondra {

namespace {

// What a launch-mode agent tells the resident agent.
const QString launchNotice = QStringLiteral("launched");

void setIdentity()
{
    QCoreApplication::setOrganizationName(QString::fromLatin1(Product::organizationName));
    QCoreApplication::setOrganizationDomain(QString::fromLatin1(Product::organizationDomain));
    QCoreApplication::setApplicationName(QStringLiteral("TavAgent"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(Product::version));
}

// A language the user chose once stays chosen; without one the texts stay as
// written.
void applySavedLanguage(AgentApp& app)
{
    if (QSettings().contains(QStringLiteral("language")))
        app.setLanguage(QString(), false);
}

// A launch leaves the agent's own update to the resident agent, if one runs
// by then, and tells it that it has work.
UpgradeContext launchContext(SingleApplication& guard)
{
    UpgradeContext context;
    context.otherInstanceRuns = [&guard] { return guard.isRunningNow(); };
    context.tellRunningInstance = [&guard] {
        if (!guard.sendMessage(launchNotice))
            qDebug("the running agent did not take the launch notice.");
    };
    return context;
}

// The agent that TavUpdate starts after a self-update must be the first
// instance, and able to bind the bridge's port.
UpgradeContext residentContext(AgentApp& app, SingleApplication& guard)
{
    UpgradeContext context;
    context.beforeHandOver = [&app, &guard] {
        app.stopListening();
        guard.release();
    };
    return context;
}

void launch(const QString& request, const UpgradeContext& context)
{
    LaunchApplication launch(request, context);
    launch.run();
}

void runLaunchMode(AgentApp& app, SingleApplication& guard, QStringList arguments)
{
    const UpgradeContext context = launchContext(guard);
    app.setUpgradeContext(context);
    qDebug() << arguments;
    arguments.removeFirst();
    launch(arguments.first(), context);
    // The process must not end under a failed launch's notice.
    app.waitForMessageBox();
    qDebug("end TavAgent.");
}

void runResidentMode(AgentApp& app, SingleApplication& guard)
{
    app.setUpgradeContext(residentContext(app, guard));
    QObject::connect(&guard, &SingleApplication::messageReceived, &app, [&app](const QString& message) {
        if (message == launchNotice)
            app.checkOwnUpdate();
    });
    app.listen();
    app.exec();
    // Before the guard lets the next agent start, which needs the bridge's port.
    app.endLaunches();
}

} // namespace

int runAgent(int& argc, char** argv)
{
    // Taken before the application object, which removes the arguments it
    // understands itself (-reverse, -style x, ...): a request that looks like
    // one must neither vanish nor turn a launch into a resident agent.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    AgentApp app(argc, argv);
    OpenUrlEventHandler openUrlHandler;
    app.installEventFilter(&openUrlHandler);
    setIdentity();
    // Only a second resident agent ends here, at once and without a trace. A
    // launch request runs whatever the guard says, and only looks: holding the
    // claim, it would turn away a resident agent starting meanwhile (the
    // log-on autostart racing a click on a link), and nothing would serve the
    // bridge once the launch is over. The resident agent hears of launches.
    const bool launchMode = arguments.size() >= 2;
    SingleApplication guard(QCoreApplication::applicationName() + QCoreApplication::applicationVersion(), !launchMode,
        launchMode ? SingleApplication::Role::Observer : SingleApplication::Role::Instance);
    if (guard.isRunning() && !launchMode)
        return 0;
    // An agent asked to stop ends its TavUpdate runs at once, also in the
    // middle of a launch, which has no event loop to hear it.
    TerminationRequest termination;
    termination.setImmediateAction(&UpdaterProcesses::endAll);
    QObject::connect(&termination, &TerminationRequest::requested, &app, &QCoreApplication::quit);
    qInstallMessageHandler(traceMessageHandler);
    qDebug("running tavagent.");
    applySavedLanguage(app);
    if (launchMode)
        runLaunchMode(app, guard, arguments);
    else
        runResidentMode(app, guard);
    return 0;
}

} // namespace Vondra
