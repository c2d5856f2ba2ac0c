// The stand-in's own side of named objects: where the namespace lives, who can
// reach it, how names become files, and what happens to files that dead
// processes leave behind. Also the stand-in's choices for file mapping
// arguments that the system never passes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kernel.h"
#include "object_namespace.h"
#include "peer_process.h"
#include "standin/testing.h"
#include "win32_services.h"

namespace {

namespace fs = std::filesystem;
namespace names = standin::names;

constexpr DWORD kRecordSize = 108;

std::string uniqueTag(const std::string& purpose) {
    static unsigned counter = 0;
    return "standin-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-" + purpose;
}

class TemporaryDirectory {
public:
    TemporaryDirectory() {
        char pattern[] = "/tmp/standin-namespace-test-XXXXXX";
        path_ = mkdtemp(pattern) != nullptr ? pattern : "";
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    std::string operator/(const std::string& leaf) const { return path_ + "/" + leaf; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string fallbackDirectory(uid_t user) { return "/tmp/win32-standin-objects-" + std::to_string(user); }

std::string joined(const std::vector<std::string>& path) {
    std::string text;
    for (const std::string& component : path) text += (text.empty() ? "" : "/") + component;
    return text;
}

// Where the file of a name lies in this user's namespace.
std::string fileOfName(const std::string& name) {
    return standin::testing::namedObjectDirectory() + "/" + joined(names::nameFilePath(name));
}

bool exists(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0;
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

TEST(NamespaceDirectory, BelongsToTheUserAlone) {
    const std::string directory = standin::testing::namedObjectDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(directory, names::chooseNamespaceDirectory(std::getenv("XDG_RUNTIME_DIR"), geteuid()));
    struct stat status {};
    ASSERT_EQ(lstat(directory.c_str(), &status), 0);
    EXPECT_TRUE(S_ISDIR(status.st_mode));
    EXPECT_EQ(status.st_uid, geteuid());
    EXPECT_EQ(status.st_mode & 07777, 0700u);
}

TEST(NamespaceDirectory, RuntimeDirectoryServesOnlyWhenPrivateToTheUser) {
    TemporaryDirectory base;
    ASSERT_FALSE(base.path().empty());
    const uid_t user = geteuid();
    ASSERT_EQ(mkdir((base / "private").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((base / "shared").c_str(), 0700), 0);
    ASSERT_EQ(chmod((base / "shared").c_str(), 0750), 0);
    ASSERT_EQ(mkdir((base / "passable").c_str(), 0700), 0);
    ASSERT_EQ(chmod((base / "passable").c_str(), 0701), 0);
    std::ofstream(base / "file").put('x');
    ASSERT_EQ(chmod((base / "file").c_str(), 0600), 0);

    struct Case {
        const char* what;
        std::string runtimeDirectory;
        bool unset;
        uid_t user;
        std::string expected;
    };
    const std::string privateChoice = base / "private/win32-standin-objects";
    const Case cases[] = {
        {"private", base / "private", false, user, privateChoice},
        {"private, trailing slash", base / "private/", false, user, privateChoice},
        {"open to the group", base / "shared", false, user, fallbackDirectory(user)},
        {"passable by others", base / "passable", false, user, fallbackDirectory(user)},
        {"another user's", base / "private", false, user + 1, fallbackDirectory(user + 1)},
        {"relative", "relative/run", false, user, fallbackDirectory(user)},
        {"missing", base / "missing", false, user, fallbackDirectory(user)},
        {"a file", base / "file", false, user, fallbackDirectory(user)},
        {"empty", "", false, user, fallbackDirectory(user)},
        {"unset", "", true, user, fallbackDirectory(user)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(names::chooseNamespaceDirectory(c.unset ? nullptr : c.runtimeDirectory.c_str(), c.user),
                  c.expected);
    }
}

TEST(PrivateDirectory, IsCreatedClosedToOthersWhateverTheUmask) {
    TemporaryDirectory base;
    for (mode_t mask : {0000, 0022, 0777}) {
        SCOPED_TRACE(mask);
        const std::string path = base / ("made-" + std::to_string(mask));
        const mode_t saved = umask(mask);
        int error = 0;
        names::UniqueFd directory = names::openPrivateDirectory(path, geteuid(), error);
        umask(saved);
        EXPECT_TRUE(directory) << std::strerror(error);
        EXPECT_EQ(modeOf(path), 0700u);
    }
}

TEST(PrivateDirectory, RefusesAnythingOthersCouldReachOrRedirect) {
    TemporaryDirectory base;
    ASSERT_EQ(mkdir((base / "good").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((base / "open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((base / "open").c_str(), 0755), 0);
    ASSERT_EQ(symlink((base / "good").c_str(), (base / "link").c_str()), 0);
    ASSERT_EQ(symlink((base / "target").c_str(), (base / "dangling").c_str()), 0);
    std::ofstream(base / "file").put('x');

    struct Case {
        const char* what;
        std::string path;
        uid_t owner;
        bool accepted;
    };
    const Case cases[] = {
        {"private directory", base / "good", geteuid(), true},
        {"directory open to others", base / "open", geteuid(), false},
        {"link to a private directory", base / "link", geteuid(), false},
        {"dangling link", base / "dangling", geteuid(), false},
        {"regular file", base / "file", geteuid(), false},
        {"another owner's directory", base / "good", geteuid() + 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int error = 0;
        EXPECT_EQ(static_cast<bool>(names::openPrivateDirectory(c.path, c.owner, error)), c.accepted);
        if (!c.accepted) {
            EXPECT_NE(error, 0);
        }
    }
    // Refusing changes nothing: no repair, nothing made behind a link.
    EXPECT_EQ(modeOf(base / "open"), 0755u);
    EXPECT_FALSE(exists(base / "target"));
}

TEST(NameFilePath, IsInjectiveAndCannotLeaveTheDirectory) {
    std::set<std::string> inputs = {"..", ".", "...", "/", "//", "../x", "x/..", "a/../../b", "NUL", "nul",
                                    "CON", ".lock", "%", "%2F", "%252F", "a.d", "GlobalLock:1234",
                                    "3E8-ABC:{42B78B09-C529-42c0-B5C5-8D9C65ADEE24}"};
    for (int byte = 1; byte < 256; ++byte) inputs.insert(std::string(1, static_cast<char>(byte)));
    const std::string alphabet = "aA%2F./-_d\xff";
    for (char first : alphabet) {
        for (char second : alphabet) inputs.insert(std::string{first, second});
    }
    for (std::size_t length : {66, 67, 68, 133, 134, 199, 200, 201, 259, 260}) {
        inputs.insert(std::string(length, '/'));
        inputs.insert(std::string(length, 'a'));
        inputs.insert(std::string(length - 1, 'a') + ".");
    }

    std::set<std::string> paths;
    for (const std::string& name : inputs) {
        const std::vector<std::string> path = names::nameFilePath(name);
        ASSERT_FALSE(path.empty());
        for (std::size_t i = 0; i < path.size(); ++i) {
            const std::string& component = path[i];
            SCOPED_TRACE(component);
            EXPECT_FALSE(component.empty());
            EXPECT_LE(component.size(), 255u);
            EXPECT_EQ(component.find('/'), std::string::npos);
            EXPECT_EQ(component.find('\0'), std::string::npos);
            EXPECT_NE(component.front(), '.');
            const bool directory = component.size() > 2 && component.compare(component.size() - 2, 2, ".d") == 0;
            EXPECT_EQ(directory, i + 1 < path.size());
        }
        paths.insert(joined(path));
    }
    EXPECT_EQ(paths.size(), inputs.size());
    // The system's names stay readable.
    EXPECT_EQ(joined(names::nameFilePath("GlobalLock:1234")), "GlobalLock%3A1234");
    EXPECT_EQ(names::nameFilePath(std::string(260, '\xff')).size(), 4u);
}

TEST(NamedObjectFiles, LieInsideTheNamespaceAndGoWithTheLastHandle) {
    const std::string tag = uniqueTag("inside");
    const std::string parent = fs::path(standin::testing::namedObjectDirectory()).parent_path();
    for (const std::string& name : {"../" + tag, "../../" + tag, tag + "/..", "/" + tag, tag + "/../../x",
                                    ".lock" + tag, "NUL" + tag}) {
        SCOPED_TRACE(name);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
        ASSERT_NE(mutex, nullptr);
        struct stat status {};
        ASSERT_EQ(lstat(fileOfName(name).c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        EXPECT_FALSE(exists(parent + "/" + tag));
        EXPECT_FALSE(exists("/" + tag));
        EXPECT_TRUE(CloseHandle(mutex));
        EXPECT_FALSE(exists(fileOfName(name)));
    }
    // The namespace's own lock file is still there.
    EXPECT_TRUE(exists(standin::testing::namedObjectDirectory() + "/.lock"));
}

TEST(NamedObjectFiles, LongNamesUpToMaxPathUseDirectoriesThatGoWithTheName) {
    const std::string tag = uniqueTag("long");
    const std::string longest = tag + std::string(MAX_PATH - tag.size(), '\xff');
    const std::string first = standin::testing::namedObjectDirectory() + "/" + names::nameFilePath(longest).front();

    HANDLE mutex = CreateMutexA(nullptr, FALSE, longest.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(exists(fileOfName(longest)));
    HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, longest.c_str());
    EXPECT_NE(opened, nullptr);
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_TRUE(CloseHandle(mutex));
    EXPECT_FALSE(exists(first));

    const std::string tooLong = longest + "x";
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRecordSize, tooLong.c_str()),
              nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

TEST(NamedObjectFiles, FilesLeftByAKilledProcessCountAsAbsentAndAreRemoved) {
    const std::string mutexName = uniqueTag("killed-mutex");
    const std::string mappingName = uniqueTag("killed-mapping");
    {
        peer::PeerProcess holder({"owned-mutex", peer::toHex(mutexName), "mapping", peer::toHex(mappingName),
                                  std::to_string(kRecordSize), "abcdef"});
        ASSERT_TRUE(holder.ready()) << holder.readyLine();
        holder.kill();
    }
    // The holder died without removing its files. (Another process that sets up
    // the namespace meanwhile may remove them first; the outcome is the same.)
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, mutexName.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(exists(fileOfName(mutexName)));

    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRecordSize,
                                        mappingName.c_str());
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(peer::toHex(view, 3), "000000");
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(mapping));
    EXPECT_FALSE(exists(fileOfName(mappingName)));
}

TEST(NamedObjectFiles, StrayFileWithoutHolderCountsAsAbsent) {
    const std::string name = uniqueTag("stray");
    // As a process that died between creating the file and locking it leaves it.
    // (Another process that sets up the namespace meanwhile may remove it first;
    // the outcome is the same.)
    std::ofstream(fileOfName(name)) << "not an object";
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(exists(fileOfName(name)));

    std::ofstream(fileOfName(name)) << "not an object";
    HANDLE mutex = CreateMutexA(nullptr, TRUE, name.c_str());
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(CloseHandle(mutex));
}

TEST(NamedObjectFiles, SettingUpTheNamespaceRemovesOnlyFilesNobodyHolds) {
    const std::string stray = uniqueTag("stray-at-start");
    const std::string longStray = uniqueTag("long-stray-at-start") + std::string(60, '/');
    const std::string held = uniqueTag("held-at-start");
    HANDLE mutex = CreateMutexA(nullptr, FALSE, held.c_str());
    ASSERT_NE(mutex, nullptr);
    std::ofstream(fileOfName(stray)) << "left by a process that died";
    const std::vector<std::string> longPath = names::nameFilePath(longStray);
    const std::string longDirectory = standin::testing::namedObjectDirectory() + "/" + longPath.front();
    ASSERT_EQ(longPath.size(), 2u);
    ASSERT_EQ(mkdir(longDirectory.c_str(), 0700), 0);
    std::ofstream(fileOfName(longStray)) << "left by a process that died";

    // A new process sets up the namespace when it first uses a name.
    peer::PeerProcess starting({"mutex", peer::toHex(uniqueTag("starting"))});
    ASSERT_TRUE(starting.ready()) << starting.readyLine();
    EXPECT_FALSE(exists(fileOfName(stray)));
    EXPECT_FALSE(exists(longDirectory));
    EXPECT_TRUE(exists(fileOfName(held)));
    HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, held.c_str());
    EXPECT_NE(opened, nullptr);
    EXPECT_TRUE(CloseHandle(opened));
    EXPECT_TRUE(CloseHandle(mutex));
}

// CloseHandle runs lastHandleClosed after it has let go of the handle table, so
// another thread may open the name again before it runs. Calling it directly
// while a handle is open is that late call.
TEST(NamedObjectFiles, LateLastHandleClosedOfAReopenedNameKeepsTheName) {
    const std::string name = uniqueTag("late-close");
    for (bool mapping : {false, true}) {
        SCOPED_TRACE(mapping ? "mapping" : "mutex");
        HANDLE handle = mapping ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                     kRecordSize, name.c_str())
                                : CreateMutexA(nullptr, FALSE, name.c_str());
        ASSERT_NE(handle, nullptr);
        standin::ObjectRef object = standin::resolveHandle(handle);
        ASSERT_TRUE(object);
        object->lastHandleClosed();
        HANDLE reopened = mapping ? OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str())
                                  : OpenMutexA(SYNCHRONIZE, FALSE, name.c_str());
        ASSERT_NE(reopened, nullptr);
        EXPECT_EQ(standin::resolveHandle(reopened), object);
        EXPECT_TRUE(exists(fileOfName(name)));
        EXPECT_TRUE(CloseHandle(handle));
        EXPECT_TRUE(CloseHandle(reopened));
        EXPECT_FALSE(exists(fileOfName(name)));
    }
}

DWORD waitOnAnotherThread(HANDLE handle) {
    DWORD result = WAIT_FAILED;
    std::thread([&] {
        result = WaitForSingleObject(handle, 0);
        if (result == WAIT_OBJECT_0) ReleaseMutex(handle);
    }).join();
    return result;
}

TEST(EmptyName, CreatesUnnamedObjectsAndOpensNothing) {
    HANDLE first = CreateMutexA(nullptr, TRUE, "");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    HANDLE second = CreateMutexA(nullptr, FALSE, "");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(waitOnAnotherThread(first), WAIT_TIMEOUT);
    EXPECT_EQ(waitOnAnotherThread(second), WAIT_OBJECT_0);
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, ""), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_TRUE(CloseHandle(first));
    EXPECT_TRUE(CloseHandle(second));

    HANDLE mappings[2];
    unsigned char* views[2];
    for (int i = 0; i < 2; ++i) {
        mappings[i] = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kRecordSize, "");
        ASSERT_NE(mappings[i], nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        views[i] = static_cast<unsigned char*>(MapViewOfFile(mappings[i], FILE_MAP_ALL_ACCESS, 0, 0, 0));
        ASSERT_NE(views[i], nullptr);
    }
    views[0][0] = 1;
    EXPECT_EQ(views[1][0], 0);
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(UnmapViewOfFile(views[i]));
        EXPECT_TRUE(CloseHandle(mappings[i]));
    }
}

TEST(FileMappingArguments, RefusedCreations) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(closed));
    struct Case {
        const char* what;
        HANDLE file;
        DWORD protection;
        DWORD sizeHigh;
        DWORD sizeLow;
        DWORD error;
    };
    const Case cases[] = {
        {"size 0", INVALID_HANDLE_VALUE, PAGE_READWRITE, 0, 0, ERROR_INVALID_PARAMETER},
        {"executable", INVALID_HANDLE_VALUE, 0x40, 0, kRecordSize, ERROR_INVALID_PARAMETER},
        {"backed by another object", event, PAGE_READWRITE, 0, kRecordSize, ERROR_NOT_SUPPORTED},
        {"backed by a closed handle", closed, PAGE_READWRITE, 0, kRecordSize, ERROR_INVALID_HANDLE},
        {"beyond any memory", INVALID_HANDLE_VALUE, PAGE_READWRITE, 0x7FFFFFFF, 0, ERROR_NOT_ENOUGH_MEMORY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = uniqueTag("refused");
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(CreateFileMappingA(c.file, nullptr, c.protection, c.sizeHigh, c.sizeLow, name.c_str()), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_FALSE(exists(fileOfName(name)));
    }
    EXPECT_TRUE(CloseHandle(event));
}

TEST(FileMappingArguments, ViewsStayWithinTheMappingAndItsProtection) {
    const std::string name = uniqueTag("views");
    constexpr DWORD kSize = 2 * 65536;
    HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize, name.c_str());
    HANDLE readOnly = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READONLY, 0, kRecordSize, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    ASSERT_NE(mapping, nullptr);
    ASSERT_NE(readOnly, nullptr);
    // A second creation with another size gets the existing mapping, whose size stays.
    HANDLE again = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4 * kSize, name.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

    struct Case {
        const char* what;
        HANDLE mapping;
        DWORD access;
        DWORD offset;
        SIZE_T bytes;
        DWORD error;
    };
    const Case cases[] = {
        {"offset not at a 64 KiB boundary", mapping, FILE_MAP_READ, 4096, 16, ERROR_MAPPED_ALIGNMENT},
        {"longer than the mapping", mapping, FILE_MAP_READ, 0, kSize + 1, ERROR_ACCESS_DENIED},
        {"past the end from an offset", mapping, FILE_MAP_READ, 65536, 65537, ERROR_ACCESS_DENIED},
        {"offset at the end", mapping, FILE_MAP_READ, kSize, 0, ERROR_ACCESS_DENIED},
        {"longer than the first size", again, FILE_MAP_READ, 0, 4 * kSize, ERROR_ACCESS_DENIED},
        {"writable view of a read-only mapping", readOnly, FILE_MAP_WRITE, 0, 0, ERROR_ACCESS_DENIED},
        {"no access", mapping, 0, 0, 0, ERROR_INVALID_PARAMETER},
        {"not a mapping", mutex, FILE_MAP_READ, 0, 0, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(MapViewOfFile(c.mapping, c.access, 0, c.offset, c.bytes), nullptr);
        EXPECT_EQ(GetLastError(), c.error);
    }

    auto* whole = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    auto* upper = static_cast<unsigned char*>(MapViewOfFile(again, FILE_MAP_READ, 0, 65536, 0));
    auto* readable = static_cast<unsigned char*>(MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(whole, nullptr);
    ASSERT_NE(upper, nullptr);
    ASSERT_NE(readable, nullptr);
    whole[65536 + 3] = 0x33;
    whole[kSize - 1] = 0x44;
    EXPECT_EQ(upper[3], 0x33);
    EXPECT_EQ(upper[65535], 0x44);
    EXPECT_EQ(readable[kRecordSize - 1], 0);

    int local = 0;
    EXPECT_FALSE(UnmapViewOfFile(&local));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    // Any address inside a view names it.
    EXPECT_TRUE(UnmapViewOfFile(upper + 100));
    EXPECT_FALSE(UnmapViewOfFile(upper));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_ADDRESS));
    EXPECT_TRUE(UnmapViewOfFile(whole));
    EXPECT_TRUE(UnmapViewOfFile(readable));
    for (HANDLE handle : {mapping, again, readOnly, mutex}) EXPECT_TRUE(CloseHandle(handle));
}

}  // namespace
