#include "AgentMain.h"

#include "AgentApp.h"
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

// The request runs here, synchronously on the main thread, once launch
// requests exist.
void launch(const QString& request)
{
    Q_UNUSED(request)
}

void runLaunchMode(int argc, char** argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
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
    AgentApp app(argc, argv);
    setIdentity();
    // Created in both modes; only a second resident agent ends here, at once
    // and without a trace. A launch request runs whatever the guard says.
    SingleApplication guard;
    if (guard.isRunning() && argc < 2)
        return 0;
    app.setOtherInstanceRuns(guard.isRunning());
    qInstallMessageHandler(traceMessageHandler);
    qDebug("running tavagent.");
    applySavedLanguage(app);
    if (argc >= 2)
        runLaunchMode(argc, argv);
    else
        runResidentMode(app);
    return 0;
}

} // namespace Vondra
