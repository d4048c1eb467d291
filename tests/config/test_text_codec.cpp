#include "config/text_codec.h"

#include <gtest/gtest.h>

namespace kestrane_config {
namespace {

TEST(StrictUtf8, AcceptsWellFormedText) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("plain ascii"));
  EXPECT_TRUE(is_valid_utf8("\xE6\xB8\xA9\xE5\xBA\xA6"));
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));  // U+1F600
  EXPECT_TRUE(is_valid_utf8("\xF4\x8F\xBF\xBF"));  // U+10FFFF
  EXPECT_TRUE(
      is_valid_utf8("\xEF\xBB\xBF"
                    "abc"));  // byte-order mark
}

TEST(StrictUtf8, RejectsMalformedText) {
  EXPECT_FALSE(is_valid_utf8("\x80"));              // lone continuation byte
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(is_valid_utf8("\xE0\x80\xAF"));      // overlong, three bytes
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE6\xB8"));          // cut short
  EXPECT_FALSE(is_valid_utf8("\xCE\xC2\xB6\xC8"));  // GBK
}

TEST(Trimming, DropsAsciiAndUnicodeSpacesOnly) {
  EXPECT_EQ(trim_unicode(" \t a b \r\n"), "a b");
  EXPECT_EQ(trim_unicode("\xE3\x80\x80x\xE3\x80\x80"), "x");
  EXPECT_EQ(trim_unicode("\xE2\x80\x8Bx"), "\xE2\x80\x8Bx");  // zero width space is kept
  EXPECT_EQ(trim_unicode("   "), "");
  EXPECT_EQ(trim_unicode("\xE6\xB8\xA9"), "\xE6\xB8\xA9");
}

}  // namespace
}  // namespace kestrane_config
