#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

namespace Vondra::Testing {

// An X display of a test's own (Xvfb), with a real system tray host (trayer)
// when asked for. Both end with the object.
class TestDisplay
{
public:
    ~TestDisplay();

    // False with the reason when the display or the tray host cannot start here.
    bool start(QString* why);
    bool startTrayHost(QString* why);

    QString name() const { return m_display; } // ":N"

    // A child on this display with home as its home (childEnvironment), using
    // Qt's own X11 tray (no D-Bus tray service).
    QProcessEnvironment environment(const QString& home) const;

    // Whether a window named windowName is embedded in the tray host.
    bool trayHolds(const QString& windowName) const;

private:
    QProcess m_server;
    QProcess m_tray;
    QString m_display;
};

} // namespace Vondra::Testing
