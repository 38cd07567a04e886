// The library's version. The numbers here are the one place it is written:
// the build reads them for the package version and the installed files.
// NB_VERSION_* describe the headers an application was compiled with;
// nb::version() the library it runs with.
#pragma once

#define NB_VERSION_MAJOR 0
#define NB_VERSION_MINOR 1
#define NB_VERSION_PATCH 0

namespace nb {

// "MAJOR.MINOR.PATCH" of the library linked.
const char* version();

}  // namespace nb
