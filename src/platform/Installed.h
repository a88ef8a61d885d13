// What the platform builds on the backend in use, and takes down when it goes (UseBackend).
#pragma once

namespace platform {

// The main run loop and the calling thread's go, with everything scheduled on them.
void runLoopsEnd();
// The distributed center forgets which transports it started; its observers stay.
void notificationCenterEnd();

}  // namespace platform
