#pragma once

#include <QApplication>
#include <QDate>
#include <QString>

#include <memory>

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

    // Whether another agent of this version ran when this one started, as the
    // entry's single-instance guard found: launch mode then leaves the agent's
    // self-update to that agent. Set before any other thread starts.
    bool otherInstanceRuns() const;
    void setOtherInstanceRuns(bool runs);

    // Shows the tray icon where a system tray is available; a tray that comes
    // up within the first two minutes still gets it.
    void showTrayIcon();

public slots:
    // Starts the resident agent's services.
    void listen();

private:
    void showMessageBox(const QString& title, const QString& text);
    void lookForTray();

    std::unique_ptr<AgentAppPrivate> d;
};

} // namespace Vondra
