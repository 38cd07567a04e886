// Library-internal access to NBSharedUDID's process-wide cache. Applications
// must not call this; tests use it to start each case uncached.
#pragma once

namespace nb::internal {

// Forgets the cached identifier, as if the process had just started.
void resetSharedUDIDCache();

}  // namespace nb::internal
