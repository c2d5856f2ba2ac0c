// The utility's start-up when its application framework cannot start, run as a
// process under vantrel-sim. The reports over boards are the end-to-end cases of
// tests/end_to_end, which both builds run.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "child_process.h"
#include "simulated_boards.h"

namespace {

const std::string kUtilityWithoutApplication = VANTREL_UTILITY_WITHOUT_APPLICATION_PATH;
const std::string kSimulatorTool = VANTREL_SIM_PATH;

const std::string kPrompt = "\n\nPress any key to exit";

class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& content) {
        char pattern[] = "/tmp/vantrel-boards-XXXXXX";
        const int descriptor = mkstemp(pattern);
        path_ = pattern;
        (void)!write(descriptor, content.data(), content.size());
        close(descriptor);
    }
    ~TemporaryFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST(ConsoleReportStartUp, FrameworkThatCannotStartEndsWithCodeOne) {
    test_support::isolateNamedObjects();
    TemporaryFile boards(R"({"boards": [{"revision": "0x1501", "serial": "00001F3C"}]})");
    const test_support::ChildResult result =
        test_support::runChild({kSimulatorTool, boards.path(), "--", kUtilityWithoutApplication}, "k");
    EXPECT_EQ(result.output, "Fatal Error: MFC initialization failed\n" + kPrompt);
    EXPECT_EQ(result.exitCode, 1);
}

}  // namespace
