// The C runtime's bounded text functions as the system uses them: serial numbers
// converted from UTF-16, keys and identifiers formatted into fixed buffers. Only
// what Windows promises is checked; a call that would overflow without _TRUNCATE
// is left out, since Windows hands it to the invalid-parameter handler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

#include "win32_services.h"

namespace {

struct WideConversionCase {
    const char* name;
    WCHAR source[12];
    std::size_t destinationSize;
    std::size_t count;
    errno_t expectedResult;
    const char* expectedText;
};

void PrintTo(const WideConversionCase& c, std::ostream* out) { *out << c.name; }

class WideToNarrowConversion : public ::testing::TestWithParam<WideConversionCase> {};

TEST_P(WideToNarrowConversion, ConvertsAndReportsTheOutcome) {
    const WideConversionCase& c = GetParam();
    char destination[16];
    std::memset(destination, 'X', sizeof destination);
    std::size_t converted = 99;
    EXPECT_EQ(wcstombs_s(&converted, destination, c.destinationSize, c.source, c.count),
              c.expectedResult);
    EXPECT_EQ(std::string(destination), c.expectedText);
    const std::size_t expectedConverted =
        c.expectedResult == 0 || c.expectedResult == STRUNCATE ? std::strlen(c.expectedText) + 1 : 0;
    EXPECT_EQ(converted, expectedConverted);
}

INSTANTIATE_TEST_SUITE_P(
    CRuntime, WideToNarrowConversion,
    ::testing::Values(
        WideConversionCase{"WholeSerialNumber", {'A', '1', 'B', '2', 0}, 9, _TRUNCATE, 0, "A1B2"},
        WideConversionCase{"ExactlyFillsTheBuffer", {'1', '2', '3', '4', '5', '6', '7', '8', 0}, 9,
                           _TRUNCATE, 0, "12345678"},
        WideConversionCase{"CutToTheBuffer", {'1', '2', '3', '4', '5', '6', '7', '8', '9', 0}, 9,
                           _TRUNCATE, STRUNCATE, "12345678"},
        WideConversionCase{"CountBelowTheLength", {'A', 'B', 'C', 'D', 0}, 9, 2, 0, "AB"},
        WideConversionCase{"LatinOneCodeUnit", {'A', 0xE9, 0}, 9, _TRUNCATE, 0, "A\xE9"},
        WideConversionCase{"UnconvertibleCodeUnit", {'A', 0x263A, 'B', 0}, 9, _TRUNCATE, EILSEQ, ""}),
    [](const ::testing::TestParamInfo<WideConversionCase>& info) { return info.param.name; });

TEST(CRuntime, BoundedCopyCutsOnlyWhenAskedTo) {
    char destination[8];
    EXPECT_EQ(strncpy_s(destination, sizeof destination, "0123456789", _TRUNCATE), STRUNCATE);
    EXPECT_STREQ(destination, "0123456");
    EXPECT_EQ(strncpy_s(destination, sizeof destination, "0123456", _TRUNCATE), 0);
    EXPECT_STREQ(destination, "0123456");
    EXPECT_EQ(strncpy_s(destination, sizeof destination, "0123456789", 3), 0);
    EXPECT_STREQ(destination, "012");
    EXPECT_EQ(strcpy_s(destination, sizeof destination, "ABC"), 0);
    EXPECT_STREQ(destination, "ABC");
}

TEST(CRuntime, BoundedFormattingCutsAndSaysSo) {
    char buffer[8];
    EXPECT_EQ(_snprintf_s(buffer, sizeof buffer, _TRUNCATE, "%.04X-%s", 0x3E8u, "AB"), 7);
    EXPECT_STREQ(buffer, "03E8-AB");
    EXPECT_EQ(_snprintf_s(buffer, sizeof buffer, _TRUNCATE, "%.04X-%s", 0x3E8u, "ABCD"), -1);
    EXPECT_STREQ(buffer, "03E8-AB");
    EXPECT_EQ(_snprintf_s(buffer, sizeof buffer, 3, "%s", "0123456789"), -1);
    EXPECT_STREQ(buffer, "012");
    EXPECT_EQ(sprintf_s(buffer, sizeof buffer, "%.02X%.02X", 0x0Bu, 0xA0u), 4);
    EXPECT_STREQ(buffer, "0BA0");
}

TEST(CRuntime, DuplicateIsAnIndependentCopy) {
    char original[] = "SERIAL";
    char* copy = _strdup(original);
    ASSERT_NE(copy, nullptr);
    original[0] = 'X';
    EXPECT_STREQ(copy, "SERIAL");
    free(copy);
}

}  // namespace
