#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

// An X display of a test's own (Xvfb), with a real system tray (trayer) when
// asked for. Both are ended with the object.
class TrayDesktop
{
public:
    ~TrayDesktop();

    // False with the reason when the display or the tray cannot start here.
    bool startDisplay(QString* why);
    bool startTray(QString* why);

    // A child on this display with root as its home (childEnvironment), using
    // Qt's own X11 tray (no D-Bus tray service).
    QProcessEnvironment environment(const QString& root) const;

    // Whether a window named windowName is embedded in the tray.
    bool trayHolds(const QString& windowName) const;

private:
    QString run(const QString& program, const QStringList& arguments) const;

    QProcess m_server;
    QProcess m_tray;
    QString m_display;
};
