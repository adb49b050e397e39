#pragma once

#include <functional>

namespace Vondra {

// What the agent's own update needs to know of the agent that runs it, given
// by whoever makes the Upgrade. Unset members mean an agent on its own with
// nothing to let go of.
struct UpgradeContext
{
    // Whether another agent is the resident one at this moment: that agent
    // updates itself, and replacing its files under it would leave the
    // restarted agent a second instance.
    std::function<bool()> otherInstanceRuns;
    // Tells that resident agent that a launch happened, so that it looks for
    // its own update.
    std::function<void()> tellRunningInstance;
    // Lets go of what the restarted agent needs (the bridge's port, the
    // single-instance claim); run on the GUI thread right before TavUpdate
    // starts.
    std::function<void()> beforeHandOver;
};

} // namespace Vondra
