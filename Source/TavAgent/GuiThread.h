#pragma once

#include <functional>

namespace Vondra {

// Whether the caller runs on the application's (GUI) thread.
bool isGuiThread();
// Runs work on the GUI thread: at once when called there, else queued to the
// application's event loop; the caller does not wait.
void runOnGuiThread(std::function<void()> work);

} // namespace Vondra
