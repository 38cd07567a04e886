// The fuzz targets' assertion: a property that does not hold ends the run with
// abort(), which libFuzzer reports as a crash and keeps the input for.
#pragma once

#include <cstdlib>

inline void check(bool condition) {
  if (!condition) std::abort();
}
