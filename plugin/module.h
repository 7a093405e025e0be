// The plug-in module itself, as the host loads and unloads it.
#pragma once

namespace module {

// Keeps this module loaded until the process ends, whatever the host does to unload it. Called
// once a thread of the plug-in may outlive the call that started it (the watch; a call to the
// smart-card service that was given up on; a wait that Shutdown could not see end): a thread
// returning into a module that is gone would take the host down. Harmless when called again.
void KeepLoaded();

} // namespace module
