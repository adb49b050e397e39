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

signals:
    void requested();

private:
    std::unique_ptr<TerminationRequestPrivate> d;
};

} // namespace Vondra
