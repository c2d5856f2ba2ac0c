// The peer process of the conformance tests; peer_process.h describes its
// arguments and commands. It uses the Windows API alone.
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "peer_process.h"

namespace {

struct SharedObject {
    HANDLE handle = nullptr;
    unsigned char* view = nullptr;
    std::size_t size = 0;
};

struct AbandonedCreation {
    std::string name;
    HANDLE handle = nullptr;
    DWORD error = 0;
};

DWORD WINAPI createOwnedAndEnd(LPVOID parameter) {
    auto* creation = static_cast<AbandonedCreation*>(parameter);
    creation->handle = CreateMutexA(nullptr, TRUE, creation->name.c_str());
    creation->error = GetLastError();
    return 0;
}

std::string nameArgument(const std::string& hex) {
    const std::vector<unsigned char> bytes = peer::fromHex(hex);
    return std::string(bytes.begin(), bytes.end());
}

// Sets up one object from the arguments at `next`; false with the failing
// argument's error code in `error`.
bool setUp(const std::vector<std::string>& arguments, std::size_t& next, SharedObject& object,
           DWORD& error) {
    error = ERROR_INVALID_PARAMETER;
    const std::string& kind = arguments[next++];
    if (next >= arguments.size()) return false;
    const std::string name = nameArgument(arguments[next++]);
    if (kind == "mutex" || kind == "owned-mutex") {
        object.handle = CreateMutexA(nullptr, kind == "owned-mutex", name.c_str());
        error = GetLastError();
        return object.handle != nullptr;
    }
    if (kind == "abandoned-mutex") {
        AbandonedCreation creation{name};
        HANDLE thread = CreateThread(nullptr, 0, createOwnedAndEnd, &creation, 0, nullptr);
        if (thread == nullptr) {
            error = GetLastError();
            return false;
        }
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        object.handle = creation.handle;
        error = creation.error;
        return object.handle != nullptr;
    }
    if (kind == "mapping" && next + 1 < arguments.size()) {
        object.size = std::stoul(arguments[next++]);
        const std::vector<unsigned char> content = peer::fromHex(arguments[next++]);
        object.handle = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                           static_cast<DWORD>(object.size), name.c_str());
        error = GetLastError();
        if (object.handle == nullptr) return false;
        object.view = static_cast<unsigned char*>(
            MapViewOfFile(object.handle, FILE_MAP_ALL_ACCESS, 0, 0, object.size));
        if (object.view == nullptr) {
            error = GetLastError();
            return false;
        }
        if (!content.empty()) std::memcpy(object.view, content.data(), content.size());
        return true;
    }
    return false;
}

std::string answer(std::vector<SharedObject>& objects, const std::string& line) {
    std::istringstream words(line);
    std::string command;
    std::size_t index = 0;
    words >> command >> index;
    if (index >= objects.size()) return "error bad-index";
    SharedObject& object = objects[index];
    if (command == "release") {
        return ReleaseMutex(object.handle) ? "ok" : "error " + std::to_string(GetLastError());
    }
    if (command == "wait") {
        DWORD milliseconds = 0;
        words >> milliseconds;
        return std::to_string(WaitForSingleObject(object.handle, milliseconds));
    }
    if (command == "read") {
        std::size_t count = 0;
        words >> count;
        if (object.view == nullptr || count > object.size) return "error bad-view";
        return peer::toHex(object.view, count);
    }
    if (command == "write") {
        std::string hex;
        words >> hex;
        const std::vector<unsigned char> bytes = peer::fromHex(hex);
        if (object.view == nullptr || bytes.size() > object.size) return "error bad-view";
        std::memcpy(object.view, bytes.data(), bytes.size());
        return "ok";
    }
    if (command == "close") {
        const BOOL closed = CloseHandle(object.handle);
        object.handle = nullptr;
        return closed ? "ok" : "error " + std::to_string(GetLastError());
    }
    return "error unknown-command";
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    std::vector<SharedObject> objects;
    std::string ready = "ready";
    for (std::size_t next = 0; next < arguments.size();) {
        const std::string argument = arguments[next];
        SharedObject object;
        DWORD error = 0;
        if (!setUp(arguments, next, object, error)) {
            std::cout << "failed " << argument << " " << error << std::endl;
            return 2;
        }
        objects.push_back(object);
        ready += " " + std::to_string(error);
    }
    std::cout << ready << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "exit") return 0;
        std::cout << answer(objects, line) << std::endl;
    }
    return 0;
}
