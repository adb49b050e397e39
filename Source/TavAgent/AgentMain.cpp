#include "AgentMain.h"

#include "AgentApp.h"
#include "LaunchApplication.h"
#include "OpenUrlEventHandler.h"
#include "ProductConfig.h"
#include "SingleApplication.h"
#include "TerminationRequest.h"
#include "TraceLog.h"

#include <QDebug>
#include <QSettings>
#include <QStringList>

namespace Vondra {

namespace {

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

void launch(const QString& request)
{
    LaunchApplication launch(request);
    launch.run();
}

void runLaunchMode(QStringList arguments)
{
    qDebug() << arguments;
    arguments.removeFirst();
    launch(arguments.first());
    // The process must not end under a failed launch's notice.
    AgentApp::instance()->waitForMessageBox();
    qDebug("end TavAgent.");
}

void runResidentMode(AgentApp& app)
{
    TerminationRequest termination;
    QObject::connect(&termination, &TerminationRequest::requested, &app, &QCoreApplication::quit);
    app.listen();
    app.exec();
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
    // Created in both modes; only a second resident agent ends here, at once
    // and without a trace. A launch request runs whatever the guard says.
    SingleApplication guard;
    if (guard.isRunning() && arguments.size() < 2)
        return 0;
    app.setOtherInstanceRuns(guard.isRunning());
    // The agent that TavUpdate starts after a self-update must be the first.
    QObject::connect(&app, &AgentApp::aboutToHandOver, &guard, &SingleApplication::release);
    qInstallMessageHandler(traceMessageHandler);
    qDebug("running tavagent.");
    applySavedLanguage(app);
    if (arguments.size() >= 2)
        runLaunchMode(arguments);
    else
        runResidentMode(app);
    return 0;
}

} // namespace Vondra
