// The capabilities the stand-in computes from report descriptors, against the
// values Windows reports for the same descriptors, and its refusal of malformed ones.
#include <gtest/gtest.h>

#include <random>
#include <variant>
#include <vector>

#include "hid/report_descriptor.h"

namespace {

using standin::hid::parseReportDescriptor;
using standin::hid::ReportLayout;
using Bytes = std::vector<std::uint8_t>;

// The boot keyboard of the HID class definition's appendix: 8 modifier bits, a
// reserved byte and six key codes in; five LED bits and padding out.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x05, 0x75, 0x01,
    0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06,
    0x75, 0x08, 0x15, 0x00, 0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0,
};

// The boot mouse: three buttons, five padding bits, X and Y, in a physical
// collection inside the application collection.
const Bytes kBootMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29, 0x03,
    0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x01,
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
    0xC0, 0xC0,
};

// A vendor-defined interface with numbered reports: report 1 has 7 bytes each
// way, report 2 carries 63 input bytes, report 3 is a 31-byte feature report.
const Bytes kVendorNumbered = {
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
    0x85, 0x01, 0x95, 0x07, 0x09, 0x01, 0x81, 0x02, 0x09, 0x02, 0x91, 0x02,
    0x85, 0x02, 0x95, 0x3F, 0x09, 0x03, 0x81, 0x02,
    0x85, 0x03, 0x95, 0x1F, 0x09, 0x04, 0xB1, 0x02,
    0xC0,
};

// A consumer control whose collection usage is a 4-byte usage with its own page.
const Bytes kExtendedUsage = {
    0x05, 0x01, 0x0B, 0x01, 0x00, 0x0C, 0x00, 0xA1, 0x01, 0x15, 0x00, 0x25, 0x01,
    0x75, 0x01, 0x95, 0x10, 0x81, 0x02, 0xC0,
};

std::variant<ReportLayout, std::string> parse(const Bytes& bytes) {
    // An exactly sized heap copy, so that the address sanitizer sees any over-read.
    Bytes copy(bytes);
    return parseReportDescriptor(copy.empty() ? nullptr : copy.data(), copy.size());
}

struct CapsCase {
    const char* name;
    const Bytes* descriptor;
    ReportLayout expected;
};

void PrintTo(const CapsCase& c, std::ostream* out) { *out << c.name; }

class PublishedCaps : public ::testing::TestWithParam<CapsCase> {};

TEST_P(PublishedCaps, MatchWhatWindowsReports) {
    const CapsCase& c = GetParam();
    auto parsed = parse(*c.descriptor);
    ASSERT_TRUE(std::holds_alternative<ReportLayout>(parsed)) << std::get<std::string>(parsed);
    const ReportLayout& layout = std::get<ReportLayout>(parsed);
    EXPECT_EQ(layout.usagePage, c.expected.usagePage);
    EXPECT_EQ(layout.usage, c.expected.usage);
    EXPECT_EQ(layout.inputLength, c.expected.inputLength);
    EXPECT_EQ(layout.outputLength, c.expected.outputLength);
    EXPECT_EQ(layout.featureLength, c.expected.featureLength);
    EXPECT_EQ(layout.collectionCount, c.expected.collectionCount);
    EXPECT_EQ(layout.numbered, c.expected.numbered);
}

INSTANTIATE_TEST_SUITE_P(
    CommonDevices, PublishedCaps,
    ::testing::Values(CapsCase{"BootKeyboard", &kBootKeyboard, {0x01, 0x06, 9, 2, 0, 1, false}},
                      CapsCase{"BootMouse", &kBootMouse, {0x01, 0x02, 4, 0, 0, 2, false}},
                      CapsCase{"VendorNumbered", &kVendorNumbered, {0xFF00, 0x01, 64, 8, 32, 1, true}},
                      CapsCase{"ExtendedUsage", &kExtendedUsage, {0x0C, 0x01, 3, 0, 0, 1, false}}),
    [](const ::testing::TestParamInfo<CapsCase>& info) { return info.param.name; });

struct MalformedCase {
    const char* name;
    Bytes descriptor;
    const char* reason;  // part of the error text
};

void PrintTo(const MalformedCase& c, std::ostream* out) { *out << c.name; }

class MalformedDescriptor : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedDescriptor, IsRefusedWithItsReason) {
    auto parsed = parse(GetParam().descriptor);
    ASSERT_TRUE(std::holds_alternative<std::string>(parsed));
    EXPECT_NE(std::get<std::string>(parsed).find(GetParam().reason), std::string::npos)
        << std::get<std::string>(parsed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MalformedDescriptor,
    ::testing::Values(
        MalformedCase{"Empty", {}, "no top-level collection"},
        MalformedCase{"TruncatedData", {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x26, 0xFF}, "truncated item at byte 6"},
        MalformedCase{"TruncatedFourByteItem", {0x05, 0x01, 0xA1, 0x01, 0x27, 0xFF, 0xFF}, "truncated item"},
        MalformedCase{"LongItem", {0x05, 0x01, 0xA1, 0x01, 0xFE, 0x02, 0x10, 0x00, 0x00, 0xC0}, "long item"},
        MalformedCase{"ReportSizeAbsurd", {0x05, 0x01, 0xA1, 0x01, 0x76, 0xFF, 0xFF, 0xC0}, "report size"},
        MalformedCase{"ReportLongerThanWindowsAllows",
                      {0x05, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0xC0},
                      "report longer"},
        MalformedCase{"ReportsAddUpTooLong",
                      {0x05, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x96, 0xFF, 0x7F, 0x81, 0x02, 0x81, 0x02, 0x81, 0x02,
                       0xC0},
                      "report longer"},
        MalformedCase{"CollectionNotClosed", {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01}, "not closed"},
        MalformedCase{"EndWithoutCollection", {0xC0}, "not opened"},
        MalformedCase{"PopWithoutPush", {0xB4}, "pop without push"},
        MalformedCase{"ReportIdZero", {0x05, 0x01, 0xA1, 0x01, 0x85, 0x00, 0xC0}, "report ID"},
        MalformedCase{"NumberedAndUnnumbered",
                      {0x05, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x81, 0x02, 0xC0},
                      "with and without report ID"},
        MalformedCase{"FieldOutsideCollection", {0x75, 0x08, 0x95, 0x01, 0x81, 0x02}, "outside a collection"},
        MalformedCase{"ReservedItemType", {0x0D, 0x00}, "reserved item type"},
        MalformedCase{"ReservedMainItem", {0xA1, 0x01, 0xD1, 0x00, 0xC0}, "reserved main item"},
        MalformedCase{"ReservedGlobalItem", {0xC5, 0x00}, "reserved global item"},
        MalformedCase{"PushTooDeep", Bytes(40, 0xA4), "push nested too deep"},
        MalformedCase{"LongerThanLinuxAllows", Bytes(4097, 0x00), "longer than 4096"}),
    [](const ::testing::TestParamInfo<MalformedCase>& info) { return info.param.name; });

// A descriptor cut anywhere before its last item leaves its collection open or an
// item short: every prefix is refused.
TEST(MalformedDescriptor, EveryTruncationOfARealDescriptorIsRefused) {
    for (const Bytes* descriptor : {&kBootKeyboard, &kBootMouse, &kVendorNumbered}) {
        for (std::size_t length = 0; length < descriptor->size(); ++length) {
            const Bytes prefix(descriptor->begin(), descriptor->begin() + static_cast<long>(length));
            EXPECT_TRUE(std::holds_alternative<std::string>(parse(prefix))) << "prefix of " << length << " bytes";
        }
    }
}

// Random and mutated descriptors never crash or read out of bounds (the sanitizer
// builds watch for that); whatever is accepted has sound lengths.
TEST(MalformedDescriptor, RandomInputIsParsedSafely) {
    std::mt19937 random(20240611);
    auto check = [](const Bytes& bytes) {
        auto parsed = parse(bytes);
        if (const auto* layout = std::get_if<ReportLayout>(&parsed)) {
            for (std::uint16_t length : {layout->inputLength, layout->outputLength, layout->featureLength}) {
                EXPECT_TRUE(length == 0 || length >= 2);
            }
            EXPECT_GE(layout->collectionCount, 1);
        }
    };
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes(random() % 48);
        for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
        check(bytes);
    }
    for (int round = 0; round < 20000; ++round) {
        Bytes bytes = round % 2 == 0 ? kBootKeyboard : kVendorNumbered;
        for (int flips = 1 + static_cast<int>(random() % 3); flips > 0; --flips) {
            bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
        }
        check(bytes);
    }
}

}  // namespace
