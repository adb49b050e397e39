#pragma once

#include <QObject>

#include <memory>

namespace Vondra {

class TerminationRequestPrivate;

// Turns the system's polite stop requests (Ctrl-C, SIGTERM, closing the
// console) into the signal requested(), delivered through the event loop of
// the thread that created the object. One object at a time.
class TerminationRequest : public QObject
{
    Q_OBJECT

public:
    explicit TerminationRequest(QObject* parent = nullptr);
    ~TerminationRequest() override;

    // Also runs action at once, on whatever thread the system reports the
    // request (a signal handler, so action must be async-signal-safe): for
    // work that cannot wait for an event loop, as a launch has none.
    void setImmediateAction(void (*action)());

signals:
    void requested();

private:
    std::unique_ptr<TerminationRequestPrivate> d;
};

} // namespace Vondra
