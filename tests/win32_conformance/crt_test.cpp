// The C runtime's bounded formatting, copying and wide-to-narrow conversion, in the
// cases where Windows returns rather than calling its invalid-parameter handler.
#include "conformance_support.h"

namespace {

TEST(Crt, WideToNarrowConversionOfASerialNumber) {
    const WCHAR serial[9] = {'0', '0', '0', '0', '1', 'F', '3', 'C', 0};
    char narrow[9] = {};
    size_t converted = 0;
    EXPECT_EQ(wcstombs_s(&converted, narrow, sizeof narrow, serial, wcslen(serial)), 0);
    EXPECT_STREQ(narrow, "00001F3C");
    EXPECT_EQ(converted, 9u);

    const WCHAR empty[1] = {0};
    char none[4] = {'x', 'x', 'x', 0};
    EXPECT_EQ(wcstombs_s(&converted, none, sizeof none, empty, wcslen(empty)), 0);
    EXPECT_STREQ(none, "");
    EXPECT_EQ(converted, 1u);
}

TEST(Crt, TruncatingFormatStopsAtTheBufferAndSaysSo) {
    char buffer[5] = {};
    EXPECT_EQ(_snprintf_s(buffer, sizeof buffer, _TRUNCATE, "%s", "abcdefg"), -1);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(_snprintf_s(buffer, sizeof buffer, _TRUNCATE, "%.02X%.02X", 5, 10), 4);
    EXPECT_STREQ(buffer, "050A");
    EXPECT_EQ(_snprintf_s(buffer, sizeof buffer, 2, "%d", 12345), -1);
    EXPECT_STREQ(buffer, "12");
}

TEST(Crt, BoundedFormattingAndCopyingThatFit) {
    char text[32] = {};
    EXPECT_EQ(sprintf_s(text, sizeof text, "%X-%s:%s", 0x3E8, "00001A2B", "x"), 14);
    EXPECT_STREQ(text, "3E8-00001A2B:x");
    char serial[9] = {};
    EXPECT_EQ(strcpy_s(serial, sizeof serial, "00001F3C"), 0);
    EXPECT_STREQ(serial, "00001F3C");
    char copy[3] = {};
    EXPECT_EQ(strncpy_s(copy, sizeof copy, "331A", 2), 0);
    EXPECT_STREQ(copy, "33");
}

}  // namespace
