// String and version utilities, exported on the Linux and macOS builds.
#pragma once

#include "zervon_platform.h"
