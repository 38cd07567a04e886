#include "nb/version.h"

#define NB_STRINGIFY_(x) #x
#define NB_STRINGIFY(x) NB_STRINGIFY_(x)

namespace nb {

const char* version() {
  return NB_STRINGIFY(NB_VERSION_MAJOR) "." NB_STRINGIFY(NB_VERSION_MINOR) "." NB_STRINGIFY(
      NB_VERSION_PATCH);
}

}  // namespace nb
