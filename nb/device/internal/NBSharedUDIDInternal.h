// Library-internal parts of NBSharedUDID: its cache reset and the pure
// identifier format. Applications must not call these; tests use them to
// start each case uncached and to check the format against known digests.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nb::internal {

// The identifier made from a unique string and a random number: the MD5 of
// `unique` in lowercase hex, then `random` modulo 2^32 - 1 as eight hex digits.
std::string sharedUDIDFrom(std::string_view unique, std::uint32_t random);

// Forgets the cached identifier, as if the process had just started.
void resetSharedUDIDCache();

}  // namespace nb::internal
