#pragma once

#include "UpgradeContext.h"

#include <QApplication>
#include <QDate>
#include <QString>

#include <functional>
#include <memory>
#include <string>

class QRunnable;

namespace Vondra {

class AgentAppPrivate;

// The agent's application object and the owner of its long-lived parts. Other
// parts reach it through instance(), from any thread.
class AgentApp : public QApplication
{
    Q_OBJECT

public:
    AgentApp(int& argc, char** argv);
    ~AgentApp() override;

    // Throws std::runtime_error while no AgentApp exists.
    static AgentApp* instance();

    // Warns the user without waiting for them; callable from any thread. A
    // balloon from the tray icon where it is shown, else a message box that
    // closes itself after the message timeout.
    void showMessage(const QString& title, const QString& text);
    // Returns once the notification box is gone (closed by the user or by its
    // own timer); at once when none is shown. A process about to end calls it
    // so that its last notice is seen.
    void waitForMessageBox();
    // How long a notification stays up; 10 s unless set.
    void setMessageTimeout(int msecs);

    // The day the program was built, "yyMMdd".
    static QString buildDate();
    // compilerDate in the compiler's "Mmm dd yyyy" form (day blank-padded);
    // today's date where the text names no month.
    static QDate parseBuildDate(const QString& compilerDate);

    // Installs the Qt and agent translations for locale (the system's when
    // empty) from "languages" beside the program, or from the program's own
    // directory when there is no "languages".
    void loadTranslator(const QString& locale);
    // Applies locale (or the saved language, or the system's); with save, the
    // given locale is remembered, an empty one forgotten.
    void setLanguage(const QString& locale, bool save);

    // What the agent's own update needs to know of this agent, for the
    // launches and the tray icon. Set before any other thread starts.
    void setUpgradeContext(const UpgradeContext& context);
    // Looks for an update of the agent itself on the launch pool and hands
    // over when there is one, at most once every few minutes: a launch that
    // another agent ran has left the agent's update to this one.
    void checkOwnUpdate();
    // Ends what the launches run, drops those still waiting and waits for the
    // rest, for an agent that is ending: no update check starts any more.
    void endLaunches();

    // Stops the local bridge and waits until its port is free again, for an
    // agent that hands over to its successor. Callable from any thread.
    void stopListening();
    // Shows the tray icon where a system tray is available; a tray that comes
    // up within the first two minutes still gets it.
    void showTrayIcon();

public slots:
    // Starts the resident agent's services: the tray icon and the local bridge
    // on the address and port of the settings.
    void listen();
    // The answer to a page's launch request (args: the request target without
    // its leading "/"), whose launch is queued to run later on the launch pool.
    // Called on the bridge's threads.
    std::string lanchTools(const QString& args);
    // The answer listing the tool packages installed beside the agent's
    // directory. Called on the bridge's threads; args is not used.
    std::string tavInfo(const QString& args);

private:
    // The launch of one request, to be run on the launch pool.
    QRunnable* createLaunch(const QString& request) const;
    void showMessageBox(const QString& title, const QString& text);
    void showTray();
    void lookForTray();

    std::unique_ptr<AgentAppPrivate> d;
};

} // namespace Vondra
