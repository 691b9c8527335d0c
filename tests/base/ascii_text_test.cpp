// ASCII-only case rules over every byte, and trimming.
#include "base/ascii_text.h"

#include <gtest/gtest.h>

#include <string>

namespace orvelle::base {
namespace {

std::string EveryByte() {
  std::string bytes;
  for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
  return bytes;
}

TEST(AsciiTextTest, OnlyAsciiLettersChangeCase) {
  const std::string all = EveryByte();
  const std::string lower = AsciiLower(all);
  const std::string upper = AsciiUpper(all);
  for (int c = 0; c < 256; ++c) {
    const bool big = c >= 'A' && c <= 'Z';
    const bool small = c >= 'a' && c <= 'z';
    EXPECT_EQ(static_cast<unsigned char>(lower[c]), big ? c + 32 : c) << c;
    EXPECT_EQ(static_cast<unsigned char>(upper[c]), small ? c - 32 : c) << c;
    for (int d = 0; d < 256; ++d) {
      const std::string a(1, static_cast<char>(c)), b(1, static_cast<char>(d));
      ASSERT_EQ(EqualsIgnoreCase(a, b), lower[c] == lower[d]) << c << " " << d;
    }
  }
  EXPECT_FALSE(EqualsIgnoreCase("Basic", "Basic "));
}

TEST(AsciiTextTest, TrimDropsBlanksAndControlsAtBothEndsOnly) {
  struct Case {
    std::string text, trimmed;
  };
  const Case cases[] = {
      {"", ""},
      {std::string("\0\t\r\n x y\x1f \x7f", 12), "x y\x1f \x7f"},
      {" \xa0name\xa0 ", "\xa0name\xa0"},
      {std::string(" \x01\x20", 3), ""},
  };
  for (const Case& c : cases) EXPECT_EQ(TrimBlanksAndControls(c.text), c.trimmed);
}

}  // namespace
}  // namespace orvelle::base
