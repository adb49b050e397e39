#include "TerminationRequest.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

// The signal handler may only do async-signal-safe work: it writes one byte to
// a socket pair, and a socket notifier turns that byte into requested() on the
// event loop.

namespace Vondra {

namespace {

constexpr int stopSignals[] = { SIGINT, SIGTERM };

volatile sig_atomic_t writeDescriptor = -1;
std::atomic<void (*)()> immediateAction { nullptr };

void onStopSignal(int signal)
{
    const int savedErrno = errno;
    if (void (*action)() = immediateAction.load())
        action();
    const char byte = char(signal);
    if (writeDescriptor >= 0)
        (void)!write(writeDescriptor, &byte, 1);
    errno = savedErrno;
}

void setHandler(int signal, void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

} // namespace

class TerminationRequestPrivate
{
public:
    int sockets[2] = { -1, -1 };
    std::unique_ptr<QSocketNotifier> notifier;
};

TerminationRequest::TerminationRequest(QObject* parent)
    : QObject(parent)
    , d(std::make_unique<TerminationRequestPrivate>())
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, d->sockets) != 0)
        return;
    // A flood of signals must block neither the handler nor the reader.
    for (int socket : d->sockets)
        fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
    d->notifier = std::make_unique<QSocketNotifier>(d->sockets[1], QSocketNotifier::Read);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (read(d->sockets[1], bytes, sizeof(bytes)) > 0) { }
        emit requested();
    });
    writeDescriptor = d->sockets[0];
    for (int signal : stopSignals)
        setHandler(signal, onStopSignal);
}

TerminationRequest::~TerminationRequest()
{
    // Handlers first, so that no signal writes to a closed (or reused) descriptor.
    for (int signal : stopSignals)
        setHandler(signal, SIG_DFL);
    writeDescriptor = -1;
    immediateAction = nullptr;
    d->notifier.reset();
    for (int socket : d->sockets) {
        if (socket >= 0)
            close(socket);
    }
}

void TerminationRequest::setImmediateAction(void (*action)())
{
    immediateAction = action;
}

} // namespace Vondra
