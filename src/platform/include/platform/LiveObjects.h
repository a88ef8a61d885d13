// How many objects of the CF layer are alive, for checks that every object a call makes is
// released.
#pragma once

namespace platform {

// Objects of the CF layer (numbers, strings, events, ...) alive right now; CFSTR constants and
// the two booleans are not counted.
long liveObjectCount();

}  // namespace platform
