// The text handling of the Windows device search, on sample strings.
#include <gtest/gtest.h>

#include <string>

#include "win/SetupApiParse.h"

namespace {

const char kPath[] =
    "\\\\?\\usb#vid_04d8&pid_000a#5&1a2b3c&0&2#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

TEST(ComNumber, ReadsTheNumberAfterComUpToTheBracket) {
  EXPECT_EQ(ComNumberFromFriendlyName("USB Serial Device (COM7)"), 7);
  EXPECT_EQ(ComNumberFromFriendlyName("USB Serial Device (COM12)"), 12);
  EXPECT_EQ(ComNumberFromFriendlyName("COM3"), 3);
  // The first "COM" counts, and only what stands before the ")".
  EXPECT_EQ(ComNumberFromFriendlyName("Port (COM5) COM9"), 5);
  EXPECT_EQ(ComNumberFromFriendlyName("COM)7"), 0);
}

TEST(ComNumber, NoDigitsGiveZeroAndNoComGivesMinusOne) {
  EXPECT_EQ(ComNumberFromFriendlyName("USB Serial Device (COMx)"), 0);
  EXPECT_EQ(ComNumberFromFriendlyName("USB Serial Device"), -1);
  EXPECT_EQ(ComNumberFromFriendlyName("usb serial (com4)"), -1);  // case-sensitive
  EXPECT_EQ(ComNumberFromFriendlyName(""), -1);
  EXPECT_EQ(ComNumberFromFriendlyName(nullptr), -1);
}

TEST(ComNumber, HugeNumbersAreClampedNotUndefined) {
  EXPECT_EQ(ComNumberFromFriendlyName("(COM99999999999999999999)"), 2147483647);
}

TEST(ComNumber, AnUnterminatedNameIsReadOnlyWithinItsBuffer) {
  std::string name(kFriendlyNameSize, 'x');
  name.replace(kFriendlyNameSize - 5, 5, "COM42");
  name += "999";  // beyond the buffer: not part of the name
  EXPECT_EQ(ComNumberFromFriendlyName(name.c_str()), 42);
}

TEST(Identity, IsACaseSensitiveSubstringOfThePath) {
  EXPECT_TRUE(IsInstrumentPath(kPath));
  EXPECT_FALSE(IsInstrumentPath("\\\\?\\usb#VID_04D8&PID_000A#5&1a2b3c"));
  EXPECT_FALSE(IsInstrumentPath("\\\\?\\usb#vid_04d8&pid_000b#5&1a2b3c"));
  EXPECT_FALSE(IsInstrumentPath(nullptr));
}

TEST(Candidate, PortChoice) {
  EXPECT_TRUE(IsCandidate(kPath, "USB Serial Device (COM5)", -1));
  EXPECT_TRUE(IsCandidate(kPath, "USB Serial Device (COM5)", 5));
  EXPECT_FALSE(IsCandidate(kPath, "USB Serial Device (COM6)", 5));
  // No friendly name, or none with "COM": number -1, only for any port.
  EXPECT_TRUE(IsCandidate(kPath, nullptr, -1));
  EXPECT_TRUE(IsCandidate(kPath, "USB Device", -1));
  EXPECT_FALSE(IsCandidate(kPath, "USB Device", 3));
  EXPECT_FALSE(IsCandidate("\\\\?\\usb#vid_1234&pid_5678#x", "(COM5)", -1));
}

TEST(Candidate, PathsOf512CharactersOrMoreAreRefusedNotCut) {
  std::string path(kPath);
  path.resize(kDevicePathSize - 1, 'a');  // 511 characters: fits with its terminator
  EXPECT_TRUE(FitsDevicePath(path.c_str()));
  EXPECT_TRUE(IsCandidate(path.c_str(), "(COM5)", -1));
  path.push_back('a');  // 512
  EXPECT_FALSE(FitsDevicePath(path.c_str()));
  EXPECT_FALSE(IsCandidate(path.c_str(), "(COM5)", -1));
  path.append(1000, 'b');
  EXPECT_FALSE(IsCandidate(path.c_str(), "(COM5)", -1));
  EXPECT_FALSE(FitsDevicePath(nullptr));
}

}  // namespace
