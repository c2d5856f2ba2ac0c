#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

extern char** environ;

namespace test_support {
namespace {

void closeIfOpen(int& descriptor) {
    if (descriptor >= 0) close(descriptor);
    descriptor = -1;
}

}  // namespace

RunningChild::RunningChild(const std::vector<std::string>& arguments, const std::string& standardInput) {
    int input[2], output[2], errors[2];
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0 || pipe2(errors, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A new session has no controlling terminal: the program never waits for a
    // key from the terminal the tests were started from.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);

    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(input[0]);
    close(output[1]);
    close(errors[1]);
    if (spawned != 0) {
        close(input[1]);
        close(output[0]);
        close(errors[0]);
        throw std::runtime_error("cannot start " + arguments.front());
    }
    pid_ = pid;
    output_ = output[0];
    errors_ = errors[0];
    // The input is small; a child that never reads it must not block the test.
    const int flags = fcntl(input[1], F_GETFL);
    fcntl(input[1], F_SETFL, flags | O_NONBLOCK);
    (void)!write(input[1], standardInput.data(), standardInput.size());
    close(input[1]);
}

RunningChild::~RunningChild() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    closeIfOpen(output_);
    closeIfOpen(errors_);
}

ChildResult RunningChild::finish(std::chrono::milliseconds bound) {
    ChildResult result;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (output_ >= 0 || errors_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd ready[2] = {{output_, POLLIN, 0}, {errors_, POLLIN, 0}};
        if (poll(ready, 2, static_cast<int>(left.count())) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (ready[i].revents == 0) continue;
            int& descriptor = i == 0 ? output_ : errors_;
            char chunk[4096];
            const ssize_t got = read(descriptor, chunk, sizeof chunk);
            if (got <= 0) {
                closeIfOpen(descriptor);
            } else {
                (i == 0 ? result.output : result.errors).append(chunk, static_cast<std::size_t>(got));
            }
        }
    }
    if (output_ >= 0 || errors_ >= 0) {
        kill(pid_, SIGKILL);
        closeIfOpen(output_);
        closeIfOpen(errors_);
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    return result;
}

ChildResult runChild(const std::vector<std::string>& arguments, const std::string& standardInput,
                     std::chrono::milliseconds bound) {
    RunningChild child(arguments, standardInput);
    return child.finish(bound);
}

}  // namespace test_support
