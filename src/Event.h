// Events and waits of the POSIX builds. The classes and functions are
// exported; their declarations live in the public header.
#pragma once

#include "zervon_platform.h"
