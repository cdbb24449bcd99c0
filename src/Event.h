// Events and waits of the POSIX builds. The classes and functions are
// exported; their declarations live in the public header.
#pragma once

#if defined(_WIN32)
#include "win/Event.h"
#else
#include "zervon_platform.h"
#endif
