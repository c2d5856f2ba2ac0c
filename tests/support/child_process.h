// Runs another program to its end, as a board owner would: without a controlling
// terminal, with the standard input given, its standard output captured.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace test_support {

struct ChildResult {
    int exitCode = -1;     // -1 when it did not end by itself within the bound
    std::string output;    // standard output
    std::string errors;    // standard error
};

// The child inherits this process's environment. It is killed when it is still
// running after `bound`.
ChildResult runChild(const std::vector<std::string>& arguments, const std::string& standardInput,
                     std::chrono::milliseconds bound = std::chrono::seconds(60));

// A child that runs while the test goes on.
class RunningChild {
public:
    RunningChild(const std::vector<std::string>& arguments, const std::string& standardInput);
    ~RunningChild();
    RunningChild(const RunningChild&) = delete;
    RunningChild& operator=(const RunningChild&) = delete;

    // Waits for the end, reading its output meanwhile.
    ChildResult finish(std::chrono::milliseconds bound = std::chrono::seconds(60));

private:
    int pid_ = -1;
    int output_ = -1;
    int errors_ = -1;
};

}  // namespace test_support
