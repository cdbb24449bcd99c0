// JSON reader: the value nodes. The classes and conversion functions are
// declared in the public header; the macOS library exports them.
#pragma once

#include "zervon_json.h"

// How deeply objects and arrays may nest. One level deeper is read as an
// empty object or array whose opening bracket stays pushed back, so the
// enclosing value ends as it does at any other misplaced character. Each
// level costs a few stack frames; 256 levels stay far below the smallest
// thread stack an application is likely to parse on.
constexpr int kJSONMaxDepth = 256;
