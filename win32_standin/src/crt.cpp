// The C runtime pieces of Windows that this platform's C library lacks, and the
// process command line.
#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "standin/win32_crt.h"
#include "standin/win32_kernel.h"

namespace {

// Puts the terminal into non-canonical mode without echo for one read, and
// restores it afterwards.
class RawTerminal {
public:
    explicit RawTerminal(int descriptor) : descriptor_(descriptor) {
        if (tcgetattr(descriptor_, &saved_) != 0) return;
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        active_ = tcsetattr(descriptor_, TCSANOW, &raw) == 0;
    }
    ~RawTerminal() {
        if (active_) tcsetattr(descriptor_, TCSANOW, &saved_);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    int descriptor_;
    termios saved_{};
    bool active_ = false;
};

std::string quotedArgument(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) return argument;
    std::string quoted = "\"";
    for (char c : argument) {
        if (c == '"') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string readCommandLine() {
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string line;
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        if (!line.empty()) line += ' ';
        line += quotedArgument(raw.substr(start, end - start));
        start = end + 1;
    }
    return line;
}

}  // namespace

int _getch() {
    const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (terminal < 0) return -1;
    unsigned char key = 0;
    ssize_t got = 0;
    {
        RawTerminal raw(terminal);
        do {
            got = read(terminal, &key, 1);
        } while (got < 0 && errno == EINTR);
    }
    close(terminal);
    return got == 1 ? key : -1;
}

std::size_t wcslen(const WCHAR* text) {
    std::size_t length = 0;
    while (text[length] != 0) ++length;
    return length;
}

errno_t wcstombs_s(std::size_t* converted, char* destination, std::size_t destinationSize,
                   const WCHAR* source, std::size_t count) {
    if (converted != nullptr) *converted = 0;
    if (destination == nullptr || destinationSize == 0 || source == nullptr) return EINVAL;
    std::size_t written = 0;
    bool truncated = false;
    for (std::size_t i = 0; (count == _TRUNCATE || i < count) && source[i] != 0; ++i) {
        if (source[i] > 0xFF) {
            destination[0] = '\0';
            return EILSEQ;
        }
        if (written + 1 >= destinationSize) {
            if (count != _TRUNCATE) {
                destination[0] = '\0';
                return ERANGE;
            }
            truncated = true;
            break;
        }
        destination[written++] = static_cast<char>(source[i]);
    }
    destination[written] = '\0';
    if (converted != nullptr) *converted = written + 1;
    return truncated ? STRUNCATE : 0;
}

errno_t strcpy_s(char* destination, std::size_t destinationSize, const char* source) {
    if (destination == nullptr || destinationSize == 0) return EINVAL;
    if (source == nullptr) {
        destination[0] = '\0';
        return EINVAL;
    }
    const std::size_t length = std::strlen(source);
    if (length >= destinationSize) {
        destination[0] = '\0';
        return ERANGE;
    }
    std::memcpy(destination, source, length + 1);
    return 0;
}

errno_t strncpy_s(char* destination, std::size_t destinationSize, const char* source,
                  std::size_t count) {
    if (destination == nullptr || destinationSize == 0) return EINVAL;
    if (source == nullptr) {
        destination[0] = '\0';
        return EINVAL;
    }
    std::size_t length = 0;
    while ((count == _TRUNCATE || length < count) && source[length] != '\0') ++length;
    const bool truncated = length >= destinationSize;
    if (truncated) {
        if (count != _TRUNCATE) {
            destination[0] = '\0';
            return ERANGE;
        }
        length = destinationSize - 1;
    }
    std::memcpy(destination, source, length);
    destination[length] = '\0';
    return truncated ? STRUNCATE : 0;
}

int sprintf_s(char* buffer, std::size_t bufferSize, const char* format, ...) {
    if (buffer == nullptr || bufferSize == 0 || format == nullptr) return -1;
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer, bufferSize, format, arguments);
    va_end(arguments);
    if (length < 0 || static_cast<std::size_t>(length) >= bufferSize) {
        buffer[0] = '\0';
        return -1;
    }
    return length;
}

int _snprintf_s(char* buffer, std::size_t bufferSize, std::size_t count, const char* format, ...) {
    if (buffer == nullptr || bufferSize == 0 || format == nullptr) return -1;
    const std::size_t limit = count == _TRUNCATE || count >= bufferSize ? bufferSize : count + 1;
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer, limit, format, arguments);
    va_end(arguments);
    if (length < 0) {
        buffer[0] = '\0';
        return -1;
    }
    if (static_cast<std::size_t>(length) >= limit) {
        if (count == _TRUNCATE || count < bufferSize) return -1;
        buffer[0] = '\0';
        return -1;
    }
    return length;
}

char* _strdup(const char* text) { return text == nullptr ? nullptr : strdup(text); }

LPSTR WINAPI GetCommandLineA() {
    static std::string commandLine = readCommandLine();
    return commandLine.data();
}
