// _getch reads one key from the process's terminal: never from standard input,
// without echo, without waiting for a line; without a terminal it answers at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "win32_services.h"

namespace {

// In a child: replaces standard input by a pipe that holds "x", calls _getch and
// writes its result to `report`.
[[noreturn]] void getchIntoPipe(int report) {
    int input[2];
    if (pipe(input) != 0 || write(input[1], "x\n", 2) != 2) _exit(90);
    dup2(input[0], STDIN_FILENO);
    const int key = _getch();
    (void)!write(report, &key, sizeof key);
    _exit(0);
}

int readKey(int report) {
    pollfd ready{report, POLLIN, 0};
    int key = -2;
    if (poll(&ready, 1, 10000) == 1) (void)!read(report, &key, sizeof key);
    return key;
}

TEST(Getch, WithoutATerminalAnswersAtOnce) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        setsid();  // no controlling terminal any more
        getchIntoPipe(report[1]);
    }
    close(report[1]);
    EXPECT_EQ(readKey(report[0]), -1);
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Getch, TakesOneKeyFromTheTerminalWithoutEchoOrLine) {
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(report[0]);
        getchIntoPipe(report[1]);
    }
    close(report[1]);
    // Give the child time to switch the terminal to raw mode before the key comes.
    usleep(200 * 1000);
    ASSERT_EQ(write(terminal, "k", 1), 1);
    EXPECT_EQ(readKey(report[0]), 'k');

    // Nothing was echoed back to the terminal.
    pollfd echoed{terminal, POLLIN, 0};
    std::string output;
    while (poll(&echoed, 1, 100) == 1) {
        char chunk[64];
        const ssize_t got = read(terminal, chunk, sizeof chunk);
        if (got <= 0) break;
        output.append(chunk, static_cast<std::size_t>(got));
    }
    EXPECT_EQ(output.find('k'), std::string::npos) << output;
    close(terminal);
    close(report[0]);
    int status = 0;
    waitpid(child, &status, 0);
}

}  // namespace
