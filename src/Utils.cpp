// In-place whitespace trimming and dotted-version packing.
#include "stdafx.h"
#include "Utils.h"

#include <cctype>

namespace {

// Whitespace as the standard classification sees a signed char: bytes 0x80
// and above are negative and never count. Tested on the byte's value, since
// plain char is unsigned on the ARM builds.
bool IsSpace(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return byte < 0x80 && std::isspace(byte) != 0;
}

}  // namespace

void StringTrimRight(char* text) {
  if (text == nullptr) return;
  char* runStart = nullptr;
  for (char* p = text; *p != '\0'; ++p) {
    if (IsSpace(*p)) {
      if (runStart == nullptr) runStart = p;
    } else {
      runStart = nullptr;
    }
  }
  if (runStart != nullptr) *runStart = '\0';
}

void StringTrimLeft(char* text) {
  if (text == nullptr) return;
  char* first = text;
  while (IsSpace(*first)) ++first;
  std::memmove(text, first, std::strlen(first) + 1);
}

void StringTrim(char* text) {
  StringTrimRight(text);
  StringTrimLeft(text);
}

unsigned int ConvertVersion(const char* text) {
  if (text == nullptr) return 0;
  // Fields the text does not supply count as 0.
  int a = 0, b = 0, c = 0, d = 0;
  std::sscanf(text, "%d.%d.%d.%d", &a, &b, &c, &d);  // count of fields read; not needed
  // Packed without masking, as the fields stand (0 to 255 compare correctly).
  return (static_cast<unsigned>(a) << 24) | (static_cast<unsigned>(b) << 16) |
         (static_cast<unsigned>(c) << 8) | static_cast<unsigned>(d);
}
