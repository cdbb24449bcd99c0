// JSON reader: the character streams. The classes are declared in the public
// header; the macOS library exports them.
#pragma once

#include "zervon_json.h"
