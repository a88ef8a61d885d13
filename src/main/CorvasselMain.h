// The helper's process entry, shared by the executable and the simulator.
#pragma once

class CorvasselHelper;

// The one helper of the process, set by CorvasselHelperMain.
extern CorvasselHelper *helperInstance;

// Creates the helper, waits for accessibility trust, starts the tap and runs the main run loop.
// Returns only if the run loop does.
int CorvasselHelperMain();
