// The live-object count, on its own: only what reads it links it.
#include <platform/LiveObjects.h>

#include "cf/CFRuntime.h"

namespace platform {

long liveObjectCount() {
  long sum = gLateCount.load(std::memory_order_relaxed);
  for (ObjectShard *shard = gShards.load(std::memory_order_acquire); shard; shard = shard->next)
    sum += shard->count.load(std::memory_order_relaxed);
  return sum;
}

}  // namespace platform
