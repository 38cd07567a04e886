// NBError lives with the platform stand-ins, whose transport reports it
// (nb/platform/NBError.h); this header keeps the name it was first
// installed under working for applications that include it from here.
#pragma once

#include "nb/platform/NBError.h"
