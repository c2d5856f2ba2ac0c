// The vantrel-sim tool as a user runs it: serving boards to a command, serving
// until interrupted, and refusing bad input with one clear line and exit code 2.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kTool = VANTREL_SIM_PATH;
const std::string kExamples = EXAMPLES_DIR;

struct ToolRun {
    int exitCode;
    std::string out;
    std::string err;
};

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class Tool : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantrel-tool-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(scratch_, ignored);
    }

    // Runs the tool through the shell with the given arguments (already quoted).
    ToolRun run(const std::string& arguments) {
        const fs::path errors = scratch_ / "stderr";
        FILE* output = popen((kTool + " " + arguments + " 2>" + errors.string()).c_str(), "r");
        ToolRun result{-1, {}, {}};
        if (output == nullptr) return result;
        char chunk[4096];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, output)) > 0;) result.out.append(chunk, n);
        const int status = pclose(output);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.err = contentOf(errors);
        return result;
    }

    std::string writeBoards(const std::string& name, const std::string& text) {
        const fs::path path = scratch_ / name;
        std::ofstream(path) << text;
        return path.string();
    }

    fs::path scratch_;
};

TEST_F(Tool, RunsTheCommandAgainstTheServedBoards) {
    const ToolRun listing = run(kExamples + "/three-boards.json -- sh -c 'ls \"$VANTREL_DEVICE_ROOT/dev\"; echo \"$VANTREL_DEVICE_ROOT\"'");
    ASSERT_EQ(listing.exitCode, 0) << listing.err;
    std::istringstream lines(listing.out);
    std::vector<std::string> entries;
    for (std::string line; std::getline(lines, line);) entries.push_back(line);
    ASSERT_EQ(entries.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(entries.begin(), entries.begin() + 6),
              (std::vector<std::string>{"hidraw0", "hidraw1", "hidraw2", "hidraw3", "hidraw4", "hidraw5"}));
    EXPECT_FALSE(fs::exists(entries[6])) << "the device root is removed after the command";
    EXPECT_TRUE(listing.err.empty()) << listing.err;
}

TEST_F(Tool, TheStandInInTheCommandFindsTheBoards) {
    const ToolRun probe = run(kExamples + "/three-boards.json -- " + HID_PROBE_PATH);
    ASSERT_EQ(probe.exitCode, 0) << probe.err;
    std::istringstream lines(probe.out);
    std::vector<std::string> products;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string path, vendor, product;
        fields >> path >> vendor >> product;
        products.push_back(vendor + ":" + product);
    }
    EXPECT_EQ(products, (std::vector<std::string>{"07C0:03E8", "07C0:03E8", "1FD1:03EA", "1FD1:03EA", "07C0:1583",
                                                  "07C0:1583"}));
}

TEST_F(Tool, ExitsWithTheCommandsExitCode) {
    EXPECT_EQ(run(kExamples + "/one-board.json -- sh -c 'exit 7'").exitCode, 7);
    EXPECT_EQ(run(kExamples + "/one-board.json -- sh -c 'kill -TERM $$'").exitCode, 128 + SIGTERM);
    const ToolRun missing = run(kExamples + "/one-board.json -- /nonexistent/command");
    EXPECT_EQ(missing.exitCode, 127);
    EXPECT_EQ(missing.err, "vantrel-sim: cannot run /nonexistent/command: No such file or directory\n");
}

TEST_F(Tool, RefusesBadInputWithOneLineNamingThePlace) {
    const std::string invalid = writeBoards("invalid.json", "{\"boards\": [\n  {\"serial\": \"1\",}\n]}");
    const std::string unknown = writeBoards("unknown.json", R"({"boards": [{"faults": {"wobble": true}}]})");
    const std::string range = writeBoards("range.json", R"({"boards": [{}, {"eeprom": {"1": {"0x80": [300]}}}]})");
    struct Case {
        std::string arguments;
        std::string line;  // the start of the one line on standard error
    };
    for (const Case& c : {
             Case{"/nonexistent/boards.json -- true", "vantrel-sim: /nonexistent/boards.json: cannot be read"},
             Case{invalid + " -- true", "vantrel-sim: " + invalid + ": invalid JSON: parse error at line 2, column 18"},
             Case{unknown + " -- true", "vantrel-sim: " + unknown + ": boards[0].faults.wobble: unknown field"},
             Case{range + " --serve", "vantrel-sim: " + range + ": boards[1].eeprom.1.0x80[0]: out of range (0 to 255): 300"},
             Case{"", "vantrel-sim: usage: vantrel-sim BOARDS.json -- COMMAND"},
             Case{kExamples + "/one-board.json --", "vantrel-sim: usage:"},
             Case{kExamples + "/one-board.json --serve extra", "vantrel-sim: usage:"},
             Case{kExamples + "/one-board.json --run true", "vantrel-sim: usage:"},
         }) {
        SCOPED_TRACE(c.arguments);
        const ToolRun result = run(c.arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err.rfind(c.line, 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_TRUE(result.out.empty());
    }
}

TEST_F(Tool, ServesUntilInterruptedAndPrintsTheEnvironmentLine) {
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    const std::string boards = kExamples + "/blank-eeprom.json";
    char* arguments[] = {const_cast<char*>(kTool.c_str()), const_cast<char*>(boards.c_str()),
                         const_cast<char*>("--serve"), nullptr};
    pid_t server = 0;
    ASSERT_EQ(posix_spawn(&server, kTool.c_str(), &actions, nullptr, arguments, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);

    std::string line;
    pollfd watched{output[0], POLLIN, 0};
    char c = 0;
    while (line.find('\n') == std::string::npos && poll(&watched, 1, 10000) == 1 && read(output[0], &c, 1) == 1) {
        line.push_back(c);
    }
    const std::string prefix = "export VANTREL_DEVICE_ROOT='";
    ASSERT_EQ(line.rfind(prefix, 0), 0u) << line;
    const std::string root = line.substr(prefix.size(), line.size() - prefix.size() - 2);
    EXPECT_TRUE(fs::exists(fs::path(root) / "dev/hidraw1")) << root;

    ASSERT_EQ(kill(server, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(server, &status, 0), server);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(fs::exists(root));
    close(output[0]);
}

}  // namespace
