// The stream's JSON text for device bytes: a table of forms, and random bytes that must come
// back exactly from the text while the text stays valid UTF-8 without a raw control byte.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "webfront/event_stream.h"

namespace orvelle::webfront {
namespace {

TEST(EventText, DeviceBytesBecomeSafeJsonText) {
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {"T=21.5", "T=21.5"},
      {"OK\r\n", "OK\\u000D\\u000A"},
      {"\"q\" \\", "\\u0022q\\u0022 \\u005C"},
      {"<b>&", "\\u003Cb\\u003E\\u0026"},
      {"21.5\xC2\xB0"
       "C",
       "21.5\xC2\xB0"
       "C"},  // UTF-8 degree sign passes
      {"21.5\xB0"
       "C",
       "21.5\\u00B0C"},                           // a lone Latin-1 byte is escaped
      {"\xE2\x82\xAC", "\xE2\x82\xAC"},           // euro sign
      {"\xE2\x82", "\\u00E2\\u0082"},             // cut short
      {"\xC0\xAF", "\\u00C0\\u00AF"},             // overlong slash
      {"\xED\xA0\x80", "\\u00ED\\u00A0\\u0080"},  // surrogate
      {"\xC2\x85", "\\u00C2\\u0085"},             // C1 control
      {std::string("a\0b", 3), "a\\u0000b"},
      {"\x7F", "\\u007F"},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonText(c.bytes), c.text) << c.bytes;
}

// An independent UTF-8 check: structure only, no overlongs, surrogates or values past U+10FFFF.
bool ValidUtf8WithoutControls(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x20 || b == 0x7F) return false;
    if (b < 0x80) {
      ++i;
      continue;
    }
    const int n = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    std::uint32_t cp = b & (0x7F >> n);
    for (int k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += n;
  }
  return true;
}

// Undoes JsonText: each \u00XX is the byte XX, every other character stands for itself.
std::string Bytes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] == '\\') {
      EXPECT_EQ(text.substr(i, 4), "\\u00");
      out.push_back(static_cast<char>(std::stoi(text.substr(i + 4, 2), nullptr, 16)));
      i += 6;
    } else {
      EXPECT_NE(text[i], '"');
      out.push_back(text[i++]);
    }
  }
  return out;
}

TEST(EventText, RandomBytesComeBackFromValidText) {
  std::mt19937 random(19);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(random() % 64, '\0');
    // Half the rounds lean towards UTF-8 lead and continuation bytes, where the cases hide.
    for (char& c : bytes) {
      c = static_cast<char>(round % 2 == 0 ? random() : 0x80 + random() % 0x78);
    }
    const std::string text = JsonText(bytes);
    ASSERT_TRUE(ValidUtf8WithoutControls(text)) << round;
    ASSERT_EQ(Bytes(text), bytes) << round;
  }
}

TEST(EventText, OnlyOurOwnIdsAreResumed) {
  EXPECT_EQ(ParseEventId("1796696936485207"), 1796696936485207u);
  for (const char* foreign : {"", "abc", "12x", "-1", " 5", "99999999999999999999999"}) {
    EXPECT_FALSE(ParseEventId(foreign).has_value()) << foreign;
  }
}

}  // namespace
}  // namespace orvelle::webfront
