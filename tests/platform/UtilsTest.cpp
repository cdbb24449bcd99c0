// Whitespace trimming and version packing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Utils.h"

namespace {

std::string Trimmed(void (*trim)(char*), const std::string& text) {
  char buffer[64];
  std::strcpy(buffer, text.c_str());
  trim(buffer);
  return buffer;
}

TEST(StringTrimTest, RemovesWhitespaceAtTheEndsOnly) {
  EXPECT_EQ("abc", Trimmed(StringTrim, "  abc \t\n"));
  EXPECT_EQ("a b", Trimmed(StringTrim, "a b"));
  EXPECT_EQ("a \t b", Trimmed(StringTrim, "\v\f a \t b\r\n"));
  EXPECT_EQ("/dev/ttyACM0", Trimmed(StringTrim, "/dev/ttyACM0\n"));
  EXPECT_EQ("", Trimmed(StringTrim, " \t\r\n\v\f"));
  EXPECT_EQ("", Trimmed(StringTrim, ""));
}

TEST(StringTrimTest, EachSideOnItsOwn) {
  EXPECT_EQ("  abc", Trimmed(StringTrimRight, "  abc \t\n"));
  EXPECT_EQ("abc \t\n", Trimmed(StringTrimLeft, "  abc \t\n"));
  EXPECT_EQ("abc", Trimmed(StringTrimLeft, "abc"));
  EXPECT_EQ("", Trimmed(StringTrimRight, "   "));
  EXPECT_EQ("", Trimmed(StringTrimLeft, "   "));
}

TEST(StringTrimTest, BytesAbove0x7FAreNeverWhitespace) {
  EXPECT_EQ("\xA0x\xA0", Trimmed(StringTrim, " \xA0x\xA0 "));
  EXPECT_EQ("\x85", Trimmed(StringTrim, "\x85"));
}

TEST(StringTrimTest, NullIsAccepted) {
  StringTrim(nullptr);
  StringTrimLeft(nullptr);
  StringTrimRight(nullptr);
}

TEST(ConvertVersionTest, PacksOneFieldPerByte) {
  EXPECT_EQ(0x01000501u, ConvertVersion("1.0.5.1"));
  EXPECT_EQ(16778497u, ConvertVersion("1.0.5.1"));
  EXPECT_EQ(0x01000501u, ConvertVersion("1.0.5.1 beta 7"));
  EXPECT_EQ(0xFFFEFDFCu, ConvertVersion("255.254.253.252"));
  EXPECT_EQ(0x01020304u, ConvertVersion(" 1. 2. 3. 4"));
  EXPECT_EQ(0u, ConvertVersion(nullptr));
}

TEST(ConvertVersionTest, FieldsAreNotMasked) {
  EXPECT_EQ(0x0102032Cu, ConvertVersion("1.2.3.300"));
  EXPECT_EQ(0xFFFFFFFFu, ConvertVersion("1.2.3.-1"));
}

TEST(ConvertVersionTest, MissingFieldsCountAsZero) {
  EXPECT_EQ(0x01020000u, ConvertVersion("1.2"));
  EXPECT_EQ(0x01020300u, ConvertVersion("1.2.3"));
  EXPECT_EQ(0x01000000u, ConvertVersion("1.x.3.4"));
  EXPECT_EQ(0u, ConvertVersion("version"));
  EXPECT_EQ(0u, ConvertVersion(""));
}

}  // namespace
