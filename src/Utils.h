// String and version utilities, exported on the Linux and macOS builds.
#pragma once

#if defined(_WIN32)
#include "win/Platform.h"
#else
#include "zervon_platform.h"
#endif
