// A HID report descriptor parser that computes what Windows' HID parser reports
// in HIDP_CAPS: the longest input, output and feature report (plus the report ID
// byte) and the usage of the first top-level collection.
//
// It is strict where Windows is strict: long items, reserved item types and tags,
// unbalanced collections and push/pop, report ID 0, a mix of numbered and
// unnumbered reports and absurd report sizes make the descriptor unusable.
#include "hid/report_descriptor.h"

#include <array>
#include <map>
#include <vector>

namespace standin::hid {
namespace {

// Item types and tags of the HID item format.
constexpr unsigned kTypeMain = 0;
constexpr unsigned kTypeGlobal = 1;
constexpr unsigned kTypeLocal = 2;
constexpr std::uint8_t kLongItemPrefix = 0xFE;

enum MainTag : unsigned {
    kInput = 0x8,
    kOutput = 0x9,
    kCollection = 0xA,
    kFeature = 0xB,
    kEndCollection = 0xC,
};

enum GlobalTag : unsigned {
    kUsagePage = 0,
    kLogicalMinimum = 1,
    kLogicalMaximum = 2,
    kPhysicalMinimum = 3,
    kPhysicalMaximum = 4,
    kUnitExponent = 5,
    kUnit = 6,
    kReportSize = 7,
    kReportId = 8,
    kReportCount = 9,
    kPush = 10,
    kPop = 11,
};

constexpr unsigned kLocalUsage = 0;
constexpr unsigned kLastLocalTag = 0xA;  // Delimiter

// The Linux HID core refuses fields wider than this, so no hidraw device has them.
constexpr std::uint32_t kMaxReportSize = 256;
// Report lengths are 16-bit in HIDP_CAPS and include the report ID byte.
constexpr std::uint64_t kMaxReportBits = (0xFFFFull - 1) * 8;
constexpr std::size_t kMaxPushDepth = 32;
constexpr std::size_t kMaxDescriptorBytes = 4096;  // the Linux HID core's limit

struct Globals {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

struct Locals {
    bool hasUsage = false;
    std::uint32_t usage = 0;
    bool usageHasPage = false;  // a 4-byte usage carries its own page
};

enum ReportKind { kInputReport, kOutputReport, kFeatureReport, kKindCount };

class Parser {
public:
    Parser(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::variant<ReportLayout, std::string> run() {
        if (size_ > kMaxDescriptorBytes) return fail("descriptor longer than 4096 bytes");
        while (position_ < size_) {
            const std::size_t itemStart = position_;
            const std::uint8_t prefix = data_[position_++];
            if (prefix == kLongItemPrefix) return failAt(itemStart, "long item");
            static constexpr std::array<std::size_t, 4> kDataSizes{0, 1, 2, 4};
            const std::size_t dataSize = kDataSizes[prefix & 0x3];
            if (size_ - position_ < dataSize) return failAt(itemStart, "truncated item");
            std::uint32_t value = 0;
            for (std::size_t i = 0; i < dataSize; ++i) {
                value |= static_cast<std::uint32_t>(data_[position_ + i]) << (8 * i);
            }
            position_ += dataSize;
            const unsigned type = (prefix >> 2) & 0x3;
            const unsigned tag = prefix >> 4;
            std::string error;
            if (type == kTypeMain) {
                error = mainItem(tag, value);
            } else if (type == kTypeGlobal) {
                error = globalItem(tag, value, dataSize);
            } else if (type == kTypeLocal) {
                error = localItem(tag, value, dataSize);
            } else {
                error = "reserved item type";
            }
            if (!error.empty()) return failAt(itemStart, error);
        }
        if (depth_ != 0) return fail("collection not closed");
        if (!layout_.collectionCount) return fail("no top-level collection");
        if (numbered_ && unnumberedData_) return fail("reports with and without report ID");
        layout_.numbered = numbered_;
        layout_.inputLength = lengthOf(kInputReport);
        layout_.outputLength = lengthOf(kOutputReport);
        layout_.featureLength = lengthOf(kFeatureReport);
        return layout_;
    }

private:
    static std::string fail(const std::string& reason) { return reason; }
    static std::string failAt(std::size_t offset, const std::string& reason) {
        return reason + " at byte " + std::to_string(offset);
    }

    std::string mainItem(unsigned tag, std::uint32_t value) {
        std::string error;
        switch (tag) {
            case kInput: error = addField(kInputReport); break;
            case kOutput: error = addField(kOutputReport); break;
            case kFeature: error = addField(kFeatureReport); break;
            case kCollection: error = openCollection(value); break;
            case kEndCollection:
                if (depth_ == 0) error = "end of a collection that was not opened";
                else --depth_;
                break;
            default: error = "reserved main item";
        }
        locals_ = Locals{};
        return error;
    }

    std::string openCollection(std::uint32_t kind) {
        if (kind > 0xFF) return "collection type wider than a byte";
        if (layout_.collectionCount == 0xFFFF) return "too many collections";
        if (depth_ == 0 && !topLevelSeen_) {
            topLevelSeen_ = true;
            const std::uint32_t usage = locals_.hasUsage ? locals_.usage : 0;
            layout_.usagePage = static_cast<std::uint16_t>(
                locals_.usageHasPage ? usage >> 16 : globals_.usagePage);
            layout_.usage = static_cast<std::uint16_t>(usage & 0xFFFF);
        }
        ++layout_.collectionCount;
        ++depth_;
        return {};
    }

    std::string addField(ReportKind kind) {
        if (depth_ == 0) return "report field outside a collection";
        if (globals_.reportId == 0) unnumberedData_ = true;
        const std::uint64_t fieldBits =
            static_cast<std::uint64_t>(globals_.reportSize) * globals_.reportCount;
        std::uint64_t& bits = reportBits_[kind][globals_.reportId];
        if (fieldBits > kMaxReportBits - bits) return "report longer than 65534 bytes";
        bits += fieldBits;
        return {};
    }

    std::string globalItem(unsigned tag, std::uint32_t value, std::size_t dataSize) {
        switch (tag) {
            case kUsagePage:
                if (value > 0xFFFF) return "usage page wider than 16 bits";
                globals_.usagePage = value;
                return {};
            case kLogicalMinimum:
            case kLogicalMaximum:
            case kPhysicalMinimum:
            case kPhysicalMaximum:
            case kUnitExponent:
            case kUnit:
                return {};
            case kReportSize:
                if (value > kMaxReportSize) return "report size above 256 bits";
                globals_.reportSize = value;
                return {};
            case kReportCount:
                globals_.reportCount = value;
                return {};
            case kReportId:
                if (dataSize == 0 || value == 0 || value > 0xFF) return "report ID not 1 to 255";
                globals_.reportId = value;
                numbered_ = true;
                return {};
            case kPush:
                if (stack_.size() == kMaxPushDepth) return "push nested too deep";
                stack_.push_back(globals_);
                return {};
            case kPop:
                if (stack_.empty()) return "pop without push";
                globals_ = stack_.back();
                stack_.pop_back();
                return {};
            default:
                return "reserved global item";
        }
    }

    std::string localItem(unsigned tag, std::uint32_t value, std::size_t dataSize) {
        if (tag > kLastLocalTag) return "reserved local item";
        if (tag == kLocalUsage && !locals_.hasUsage) {
            locals_.hasUsage = true;
            locals_.usage = value;
            locals_.usageHasPage = dataSize == 4;
        }
        return {};
    }

    std::uint16_t lengthOf(ReportKind kind) const {
        std::uint64_t longest = 0;
        for (const auto& [id, bits] : reportBits_[kind]) longest = std::max(longest, bits);
        if (longest == 0) return 0;
        return static_cast<std::uint16_t>(1 + (longest + 7) / 8);
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    Globals globals_;
    Locals locals_;
    std::vector<Globals> stack_;
    std::size_t depth_ = 0;
    bool topLevelSeen_ = false;
    bool numbered_ = false;
    bool unnumberedData_ = false;
    std::array<std::map<std::uint32_t, std::uint64_t>, kKindCount> reportBits_;
    ReportLayout layout_;
};

}  // namespace

std::variant<ReportLayout, std::string> parseReportDescriptor(const std::uint8_t* data,
                                                              std::size_t size) {
    if (data == nullptr && size != 0) return std::string("no descriptor");
    return Parser(data, size).run();
}

}  // namespace standin::hid
