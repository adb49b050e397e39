#include "TerminationRequest.h"

#include <QMetaObject>

#include <windows.h>

#include <atomic>

// The console control handler runs on a thread of its own that the system
// starts; it only queues requested() onto the object's thread.

namespace Vondra {

namespace {

std::atomic<TerminationRequest*> currentRequest { nullptr };
std::atomic<void (*)()> immediateAction { nullptr };

BOOL WINAPI onConsoleControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (TerminationRequest* request = currentRequest.load()) {
            if (void (*action)() = immediateAction.load())
                action();
            QMetaObject::invokeMethod(request, &TerminationRequest::requested, Qt::QueuedConnection);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

} // namespace

class TerminationRequestPrivate
{
};

TerminationRequest::TerminationRequest(QObject* parent)
    : QObject(parent)
{
    currentRequest = this;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

TerminationRequest::~TerminationRequest()
{
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    currentRequest = nullptr;
    immediateAction = nullptr;
}

void TerminationRequest::setImmediateAction(void (*action)())
{
    immediateAction = action;
}

} // namespace Vondra
