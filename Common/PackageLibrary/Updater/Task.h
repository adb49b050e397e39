#pragma once

#include "TavUpdaterGlobal.h"

#include <QObject>
#include <QString>

#include <memory>

namespace Updater {

class TaskPrivate;

// A unit of work of the library. run() returns when the task is over, and
// keeps the GUI alive meanwhile (a nested event loop), so a progress dialog
// repaints and its Cancel reaches stop().
class TAVUPDATER_EXPORT Task : public QObject
{
    Q_OBJECT

public:
    // Codes carried by error(int, QString).
    enum ErrorCode {
        NoError = 0,
        NetworkError = 1,
        TrustError = 2,
        FormatError = 3,
        IntegrityError = 4,
        FileSystemError = 5,
        CancelledError = 6,
        InternalError = 7,
    };
    Q_ENUM(ErrorCode)

    explicit Task(QObject* parent = nullptr);
    ~Task() override;

    // Runs the task to its end; true when it succeeded.
    bool run();
    bool isRunning() const;
    bool wasStopped() const;
    // Last error of the last run, empty when it succeeded.
    QString errorString() const;

public slots:
    // Asks a running task to end as soon as it can; it then fails with CancelledError.
    void stop();

signals:
    void error(int code, const QString& errorText);
    void progressValue(int value);
    void progressText(const QString& text);
    void finished(bool success);

protected:
    // Starts the work; the subclass calls finish() when it is done, from the
    // event loop or at once.
    virtual void start() = 0;
    // Called once by stop() while running; the subclass aborts what it can.
    virtual void abort() { }
    void finish(bool success);
    // Emits error() and remembers the text.
    void fail(int code, const QString& text);

private:
    std::unique_ptr<TaskPrivate> d;
};

} // namespace Updater
