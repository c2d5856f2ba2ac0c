// Named mutexes and file mappings in the caller's default namespace, within one
// process and between processes (with the peer of peer_process.h).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "peer_process.h"
#include "win32_services.h"

namespace {

using peer::PeerProcess;
using peer::toHex;

// Generous: only a fault makes a test wait this long.
constexpr DWORD kBound = 10000;
// The time-out of a wait that an action of another process must end: the wait
// must end within kBound, long before its time-out, or nothing woke the waiter.
constexpr DWORD kLongWait = 30000;
// How long a wait runs to show that an object is not signalled.
constexpr DWORD kBriefly = 50;
constexpr DWORD kRecordSize = 108;
// Windows declares WAIT_TIMEOUT as a signed constant, unlike the wait's result.
constexpr DWORD kWaitTimeout = WAIT_TIMEOUT;

// Names no other test process uses at the same time.
std::string uniqueName(const std::string& purpose) {
    static std::atomic<unsigned> counter{0};
    return "conformance-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + "-" +
           purpose;
}

class ScopedHandle {
public:
    explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
    ~ScopedHandle() {
        if (handle_ != nullptr) CloseHandle(handle_);
    }
    ScopedHandle(ScopedHandle&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    ScopedHandle& operator=(ScopedHandle&&) = delete;
    ScopedHandle(const ScopedHandle&) = delete;
    ScopedHandle& operator=(const ScopedHandle&) = delete;

    HANDLE get() const { return handle_; }
    void reset(HANDLE handle) {
        if (handle_ != nullptr) CloseHandle(handle_);
        handle_ = handle;
    }
    BOOL close() {
        const BOOL closed = CloseHandle(handle_);
        handle_ = nullptr;
        return closed;
    }

private:
    HANDLE handle_;
};

enum class Kind { Mutex, Mapping };

const char* kindName(Kind kind) { return kind == Kind::Mutex ? "mutex" : "mapping"; }

HANDLE createObject(Kind kind, const std::string& name, DWORD size = kRecordSize) {
    if (kind == Kind::Mutex) return CreateMutexA(nullptr, FALSE, name.c_str());
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, name.c_str());
}

HANDLE openObject(Kind kind, const std::string& name) {
    if (kind == Kind::Mutex) return OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str());
    return OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str());
}

// ERROR_SUCCESS when the name opens as an object of that kind (the handle is
// closed at once), otherwise the error of the failed opening.
DWORD openingError(Kind kind, const std::string& name) {
    HANDLE handle = openObject(kind, name);
    if (handle == nullptr) return GetLastError();
    CloseHandle(handle);
    return ERROR_SUCCESS;
}

struct WaitOnThread {
    std::vector<HANDLE> handles;
    DWORD timeout;
    bool releaseAfterwards;
    DWORD result;
};

DWORD WINAPI waitThenMaybeRelease(LPVOID parameter) {
    auto* wait = static_cast<WaitOnThread*>(parameter);
    wait->result = WaitForMultipleObjects(static_cast<DWORD>(wait->handles.size()), wait->handles.data(),
                                          FALSE, wait->timeout);
    const DWORD count = static_cast<DWORD>(wait->handles.size());
    DWORD taken = count;
    if (wait->result < WAIT_OBJECT_0 + count) taken = wait->result - WAIT_OBJECT_0;
    if (wait->result >= WAIT_ABANDONED_0 && wait->result < WAIT_ABANDONED_0 + count) {
        taken = wait->result - WAIT_ABANDONED_0;
    }
    if (wait->releaseAfterwards && taken < count) ReleaseMutex(wait->handles[taken]);
    return 0;
}

// A thread that waits for any of `handles` and ends, owning the mutex it took
// unless told to release it.
class WaitingThread {
public:
    WaitingThread(std::vector<HANDLE> handles, DWORD timeout, bool releaseAfterwards)
        : wait_{std::move(handles), timeout, releaseAfterwards, WAIT_FAILED},
          thread_(CreateThread(nullptr, 0, waitThenMaybeRelease, &wait_, 0, nullptr)) {}
    ~WaitingThread() {
        if (thread_.get() != nullptr) WaitForSingleObject(thread_.get(), INFINITE);
    }
    WaitingThread(const WaitingThread&) = delete;
    WaitingThread& operator=(const WaitingThread&) = delete;

    // The result of the thread's wait, once the thread has ended.
    DWORD result() {
        EXPECT_NE(thread_.get(), nullptr);
        EXPECT_EQ(WaitForSingleObject(thread_.get(), kBound + wait_.timeout), WAIT_OBJECT_0);
        return wait_.result;
    }

private:
    WaitOnThread wait_;
    ScopedHandle thread_;
};

DWORD waitOnAnotherThread(HANDLE handle, DWORD timeout) {
    return WaitingThread({handle}, timeout, true).result();
}

class Stopwatch {
public:
    long long elapsedMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

std::string peerWaitsToBeWoken(PeerProcess& peerProcess) {
    Stopwatch watch;
    std::string answer = peerProcess.request("wait 0 " + std::to_string(kLongWait));
    EXPECT_LT(watch.elapsedMs(), kBound) << "the peer's wait ended only with its time-out";
    return answer;
}

std::vector<std::string> peerMutex(const char* kind, const std::string& name) {
    return {kind, toHex(name)};
}

TEST(NamedObjects, OpeningAnAbsentNameFailsWithFileNotFound) {
    const std::string name = uniqueName("absent");
    EXPECT_EQ(OpenMutexA(SYNCHRONIZE, TRUE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(NamedObjects, CreatingAnExistingNameGivesAnotherHandleToIt) {
    for (Kind kind : {Kind::Mutex, Kind::Mapping}) {
        SCOPED_TRACE(kindName(kind));
        const std::string name = uniqueName("twice");
        SetLastError(ERROR_GEN_FAILURE);
        ScopedHandle first(createObject(kind, name));
        ASSERT_NE(first.get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        ScopedHandle second(createObject(kind, name));
        ASSERT_NE(second.get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_NE(second.get(), first.get());
    }
}

TEST(NamedMutex, EveryHandleOfANameSharesOneOwnership) {
    const std::string name = uniqueName("shared-ownership");
    ScopedHandle created(CreateMutexA(nullptr, TRUE, name.c_str()));
    ASSERT_NE(created.get(), nullptr);
    // An existing mutex is not taken again: the initial-owner request is ignored.
    ScopedHandle createdAgain(CreateMutexA(nullptr, TRUE, name.c_str()));
    ASSERT_NE(createdAgain.get(), nullptr);
    ScopedHandle opened(OpenMutexA(SYNCHRONIZE, TRUE, name.c_str()));
    ASSERT_NE(opened.get(), nullptr);

    EXPECT_EQ(waitOnAnotherThread(opened.get(), kBriefly), kWaitTimeout);
    EXPECT_EQ(WaitForSingleObject(opened.get(), 0), WAIT_OBJECT_0);  // owned: taken again
    EXPECT_TRUE(ReleaseMutex(createdAgain.get()));
    EXPECT_TRUE(ReleaseMutex(opened.get()));
    EXPECT_FALSE(ReleaseMutex(created.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    EXPECT_EQ(waitOnAnotherThread(createdAgain.get(), kBound), WAIT_OBJECT_0);
}

TEST(NamedMutex, OwnerThreadThatEndsLeavesItAbandonedForEveryHandle) {
    const std::string name = uniqueName("thread-abandons");
    ScopedHandle first(CreateMutexA(nullptr, FALSE, name.c_str()));
    ScopedHandle second(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
    ASSERT_NE(first.get(), nullptr);
    ASSERT_NE(second.get(), nullptr);
    EXPECT_EQ(WaitingThread({first.get()}, kBound, false).result(), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(second.get(), kBound), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(first.get()));
    EXPECT_EQ(waitOnAnotherThread(second.get(), kBound), WAIT_OBJECT_0);
}

TEST(NamedObjects, NameDisappearsWhenItsLastHandleCloses) {
    for (Kind kind : {Kind::Mutex, Kind::Mapping}) {
        SCOPED_TRACE(kindName(kind));
        const std::string name = uniqueName("last-handle");
        ScopedHandle created(createObject(kind, name));
        ASSERT_NE(created.get(), nullptr);
        ScopedHandle opened(openObject(kind, name));
        ASSERT_NE(opened.get(), nullptr);
        EXPECT_TRUE(created.close());
        EXPECT_EQ(openingError(kind, name), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_TRUE(opened.close());
        EXPECT_EQ(openingError(kind, name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        ScopedHandle again(createObject(kind, name));
        EXPECT_NE(again.get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    }
}

TEST(NamedObjects, OwnedMutexMayBeClosedAndItsNameDisappears) {
    const std::string name = uniqueName("closed-owned");
    ScopedHandle mutex(CreateMutexA(nullptr, TRUE, name.c_str()));
    ASSERT_NE(mutex.get(), nullptr);
    EXPECT_TRUE(mutex.close());
    EXPECT_EQ(openingError(Kind::Mutex, name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(NamedObjects, NameHeldByAnotherKindIsRefused) {
    for (bool inPeer : {false, true}) {
        SCOPED_TRACE(inPeer ? "held by another process" : "held by this process");
        const std::string mutexName = uniqueName("held-as-mutex");
        const std::string mappingName = uniqueName("held-as-mapping");
        ScopedHandle mutex;
        ScopedHandle mapping;
        std::unique_ptr<PeerProcess> holder;
        if (inPeer) {
            holder = std::make_unique<PeerProcess>(std::vector<std::string>{
                "mutex", toHex(mutexName), "mapping", toHex(mappingName), std::to_string(kRecordSize), ""});
            ASSERT_TRUE(holder->ready()) << holder->readyLine();
        } else {
            mutex.reset(createObject(Kind::Mutex, mutexName));
            mapping.reset(createObject(Kind::Mapping, mappingName));
            ASSERT_NE(mutex.get(), nullptr);
            ASSERT_NE(mapping.get(), nullptr);
        }
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(createObject(Kind::Mapping, mutexName), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(openingError(Kind::Mapping, mutexName), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(createObject(Kind::Mutex, mappingName), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        EXPECT_EQ(openingError(Kind::Mutex, mappingName), static_cast<DWORD>(ERROR_INVALID_HANDLE));
        // The refusals left the names to their holders.
        EXPECT_EQ(openingError(Kind::Mutex, mutexName), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(openingError(Kind::Mapping, mappingName), static_cast<DWORD>(ERROR_SUCCESS));
    }
}

TEST(NamedObjects, NamesOfAnyTextAreDistinctObjects) {
    const std::string tag = uniqueName("odd");
    const std::vector<std::string> names = {
        tag + "/a",
        tag + "%2Fa",
        tag + "_2Fa",
        tag + "%",
        "../" + tag,
        "../../" + tag,
        tag + "/..",
        tag + "/../..",
        "./" + tag,
        tag + "/.",
        tag + ".",
        tag + "..",
        "NUL/" + tag,
        "/" + tag,
        tag + "/",
        tag + "//",
        tag + ":{42B78B09-C529-42c0-B5C5-8D9C65ADEE24}",
        tag + " with spaces",
        tag + "\t\x01\x7f",
        tag + "\xe9",
        tag + "Case",
        tag + "case",
        tag + ".d",
        tag + std::string(259 - tag.size() - 1, 'L'),
        tag + std::string(259 - tag.size(), 'L'),
    };
    std::vector<ScopedHandle> held;
    for (const std::string& name : names) {
        SCOPED_TRACE(toHex(name));
        EXPECT_EQ(openingError(Kind::Mutex, name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        SetLastError(ERROR_GEN_FAILURE);
        held.emplace_back(CreateMutexA(nullptr, FALSE, name.c_str()));
        EXPECT_NE(held.back().get(), nullptr);
        // Every name is new: none of them collides with an earlier one.
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(openingError(Kind::Mutex, name), static_cast<DWORD>(ERROR_SUCCESS));
    }
    held.clear();
    for (const std::string& name : names) {
        SCOPED_TRACE(toHex(name));
        EXPECT_EQ(openingError(Kind::Mutex, name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

TEST(NamedObjects, OverlongNameIsRefused) {
    const std::string name = uniqueName("long") + std::string(1000, 'x');
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(openingError(Kind::Mutex, name), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(createObject(Kind::Mapping, name), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(openingError(Kind::Mapping, name), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

struct OpenCloseRound {
    std::string name;
    std::atomic<unsigned>* lostNames;
};

DWORD WINAPI openAndCloseRepeatedly(LPVOID parameter) {
    auto* round = static_cast<OpenCloseRound*>(parameter);
    for (int i = 0; i < 200; ++i) {
        HANDLE created = CreateMutexA(nullptr, FALSE, round->name.c_str());
        // While this thread holds a handle the name exists, whatever the other
        // threads close meanwhile.
        HANDLE opened = OpenMutexA(SYNCHRONIZE, FALSE, round->name.c_str());
        if (created == nullptr || opened == nullptr) ++*round->lostNames;
        if (opened != nullptr) CloseHandle(opened);
        if (created != nullptr) CloseHandle(created);
    }
    return 0;
}

TEST(NamedObjects, HeldNameSurvivesConcurrentClosing) {
    std::atomic<unsigned> lostNames{0};
    OpenCloseRound round{uniqueName("concurrent"), &lostNames};
    std::vector<ScopedHandle> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(CreateThread(nullptr, 0, openAndCloseRepeatedly, &round, 0, nullptr));
        ASSERT_NE(threads.back().get(), nullptr);
    }
    for (ScopedHandle& thread : threads) EXPECT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(lostNames.load(), 0u);
    EXPECT_EQ(openingError(Kind::Mutex, round.name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(FileMapping, NewMappingStartsZeroFilled) {
    for (DWORD size : {kRecordSize, static_cast<DWORD>(3 * 65536 + 1)}) {
        SCOPED_TRACE(size);
        const std::string name = uniqueName("zero");
        ScopedHandle mapping(createObject(Kind::Mapping, name, size));
        ASSERT_NE(mapping.get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, size));
        ASSERT_NE(view, nullptr);
        const std::vector<unsigned char> zeros(size, 0);
        EXPECT_EQ(std::memcmp(view, zeros.data(), size), 0);
        EXPECT_TRUE(UnmapViewOfFile(view));
    }
}

TEST(FileMapping, ViewsOfOneMappingShareTheirBytes) {
    const std::string name = uniqueName("two-views");
    ScopedHandle created(createObject(Kind::Mapping, name));
    ScopedHandle opened(openObject(Kind::Mapping, name));
    ASSERT_NE(created.get(), nullptr);
    ASSERT_NE(opened.get(), nullptr);
    auto* first = static_cast<unsigned char*>(MapViewOfFile(created.get(), FILE_MAP_ALL_ACCESS, 0, 0, kRecordSize));
    auto* second = static_cast<unsigned char*>(MapViewOfFile(opened.get(), FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    first[0] = 0x5A;
    first[kRecordSize - 1] = 0xA5;
    EXPECT_EQ(second[0], 0x5A);
    EXPECT_EQ(second[kRecordSize - 1], 0xA5);
    EXPECT_TRUE(UnmapViewOfFile(second));
    EXPECT_TRUE(UnmapViewOfFile(first));
}

TEST(FileMapping, ViewOutlivesTheHandleButNotTheName) {
    const std::string name = uniqueName("view-outlives");
    ScopedHandle mapping(createObject(Kind::Mapping, name));
    ASSERT_NE(mapping.get(), nullptr);
    auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, kRecordSize));
    ASSERT_NE(view, nullptr);
    view[7] = 0x77;
    EXPECT_TRUE(mapping.close());
    EXPECT_EQ(view[7], 0x77);
    view[8] = 0x88;
    EXPECT_EQ(openingError(Kind::Mapping, name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    // The name now makes a new, empty mapping; the old view keeps the old bytes.
    ScopedHandle fresh(createObject(Kind::Mapping, name));
    ASSERT_NE(fresh.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    auto* freshView = static_cast<unsigned char*>(MapViewOfFile(fresh.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(freshView, nullptr);
    EXPECT_EQ(freshView[7], 0);
    freshView[8] = 0x11;
    EXPECT_EQ(view[8], 0x88);
    EXPECT_TRUE(UnmapViewOfFile(freshView));
    EXPECT_TRUE(UnmapViewOfFile(view));
}

TEST(FileMappingAcrossProcesses, ViewsInTwoProcessesSeeTheSameBytes) {
    const std::string name = uniqueName("shared-record");
    const std::string peerBytes = "00112233445566778899aabbccddeeff";
    PeerProcess holder({"mapping", toHex(name), std::to_string(kRecordSize), peerBytes});
    ASSERT_TRUE(holder.ready()) << holder.readyLine();
    EXPECT_EQ(holder.readyLine(), "ready 0");

    SetLastError(ERROR_SUCCESS);
    ScopedHandle mapping(createObject(Kind::Mapping, name));
    ASSERT_NE(mapping.get(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping.get(), FILE_MAP_ALL_ACCESS, 0, 0, kRecordSize));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(toHex(view, 16), peerBytes);
    EXPECT_EQ(toHex(view + 16, 4), "00000000");

    std::memcpy(view + 100, "\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    EXPECT_EQ(holder.request("read 0 108").substr(200), "0102030405060708");
    EXPECT_EQ(holder.request("write 0 cafe"), "ok");
    EXPECT_EQ(view[0], 0xCA);
    EXPECT_EQ(view[1], 0xFE);
    EXPECT_TRUE(UnmapViewOfFile(view));
}

TEST(NamedObjectsAcrossProcesses, NameLastsWhileAnyProcessHoldsIt) {
    for (Kind kind : {Kind::Mutex, Kind::Mapping}) {
        SCOPED_TRACE(kindName(kind));
        const std::string name = uniqueName("held-elsewhere");
        std::vector<std::string> arguments = {kind == Kind::Mutex ? "mutex" : "mapping", toHex(name)};
        if (kind == Kind::Mapping) arguments.insert(arguments.end(), {std::to_string(kRecordSize), "beef"});
        PeerProcess holder(arguments);
        ASSERT_TRUE(holder.ready()) << holder.readyLine();

        ScopedHandle mine(openObject(kind, name));
        ASSERT_NE(mine.get(), nullptr);
        EXPECT_EQ(holder.request("close 0"), "ok");
        EXPECT_EQ(openingError(kind, name), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(holder.exit(), 0);
        EXPECT_EQ(openingError(kind, name), static_cast<DWORD>(ERROR_SUCCESS));
        if (kind == Kind::Mapping) {
            auto* view = static_cast<unsigned char*>(MapViewOfFile(mine.get(), FILE_MAP_READ, 0, 0, 2));
            ASSERT_NE(view, nullptr);
            EXPECT_EQ(toHex(view, 2), "beef");
            EXPECT_TRUE(UnmapViewOfFile(view));
        }
        EXPECT_TRUE(mine.close());
        EXPECT_EQ(openingError(kind, name), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    }
}

TEST(NamedObjectsAcrossProcesses, NamesOfAProcessThatExitsOrIsKilledDisappear) {
    for (bool killed : {false, true}) {
        SCOPED_TRACE(killed ? "killed" : "exits");
        const std::string mutexName = uniqueName("dies-owning");
        const std::string mappingName = uniqueName("dies-mapping");
        PeerProcess holder({"owned-mutex", toHex(mutexName), "mapping", toHex(mappingName),
                            std::to_string(kRecordSize), "ff"});
        ASSERT_TRUE(holder.ready()) << holder.readyLine();
        EXPECT_EQ(openingError(Kind::Mutex, mutexName), static_cast<DWORD>(ERROR_SUCCESS));
        EXPECT_EQ(openingError(Kind::Mapping, mappingName), static_cast<DWORD>(ERROR_SUCCESS));
        if (killed) {
            holder.kill();
        } else {
            EXPECT_EQ(holder.exit(), 0);
        }
        EXPECT_EQ(openingError(Kind::Mutex, mutexName), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
        EXPECT_EQ(openingError(Kind::Mapping, mappingName), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

        ScopedHandle mapping(createObject(Kind::Mapping, mappingName));
        ASSERT_NE(mapping.get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        auto* view = static_cast<unsigned char*>(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 1));
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view[0], 0);
        EXPECT_TRUE(UnmapViewOfFile(view));
        ScopedHandle mutex(CreateMutexA(nullptr, FALSE, mutexName.c_str()));
        ASSERT_NE(mutex.get(), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
        // A mutex made anew, not the one the dead process owned.
        EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mutex.get()));
    }
}

TEST(NamedMutexAcrossProcesses, MutexOwnedInAnotherProcessIsNotSignalledHere) {
    const std::string name = uniqueName("owned-elsewhere");
    PeerProcess owner(peerMutex("owned-mutex", name));
    ASSERT_TRUE(owner.ready()) << owner.readyLine();
    ScopedHandle mutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
    ASSERT_NE(mutex.get(), nullptr);

    EXPECT_FALSE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_OWNER));
    {
        WaitingThread waiter({mutex.get()}, kLongWait, true);
        EXPECT_EQ(WaitForSingleObject(mutex.get(), kBriefly), kWaitTimeout);
        Stopwatch watch;
        EXPECT_EQ(owner.request("release 0"), "ok");
        EXPECT_EQ(waiter.result(), WAIT_OBJECT_0);
        EXPECT_LT(watch.elapsedMs(), kBound) << "the wait ended only with its time-out";
    }
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), WAIT_OBJECT_0);

    // Now this process owns it: the peer waits until it is released here.
    EXPECT_EQ(owner.request("wait 0 " + std::to_string(kBriefly)), std::to_string(kWaitTimeout));
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(peerWaitsToBeWoken(owner), std::to_string(WAIT_OBJECT_0));
    EXPECT_EQ(waitOnAnotherThread(mutex.get(), kBriefly), kWaitTimeout);
    EXPECT_EQ(owner.request("release 0"), "ok");
    EXPECT_EQ(owner.request("release 0"), "error " + std::to_string(ERROR_NOT_OWNER));
}

TEST(NamedMutexAcrossProcesses, KilledOwnerLeavesItAbandoned) {
    const std::string name = uniqueName("killed-owner");
    PeerProcess owner(peerMutex("owned-mutex", name));
    ASSERT_TRUE(owner.ready()) << owner.readyLine();
    ScopedHandle mutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
    ScopedHandle neverSet(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ASSERT_NE(mutex.get(), nullptr);
    ASSERT_NE(neverSet.get(), nullptr);

    // Waiting, together with an event, before the owner dies.
    WaitingThread waiter({neverSet.get(), mutex.get()}, kLongWait, true);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), kBriefly), kWaitTimeout);
    Stopwatch watch;
    owner.kill();
    EXPECT_EQ(waiter.result(), WAIT_ABANDONED_0 + 1);
    EXPECT_LT(watch.elapsedMs(), kBound) << "the wait ended only with its time-out";
    // Abandonment is reported once; the mutex is then an ordinary one again.
    EXPECT_EQ(WaitForSingleObject(mutex.get(), kBound), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
}

TEST(NamedMutexAcrossProcesses, OwnerThreadThatEndsLeavesItAbandonedForOtherProcesses) {
    const std::string name = uniqueName("thread-ended");
    PeerProcess holder(peerMutex("abandoned-mutex", name));
    ASSERT_TRUE(holder.ready()) << holder.readyLine();
    ScopedHandle mutex(OpenMutexA(MUTEX_ALL_ACCESS, FALSE, name.c_str()));
    ASSERT_NE(mutex.get(), nullptr);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), kBound), WAIT_ABANDONED_0);
    EXPECT_EQ(holder.request("wait 0 " + std::to_string(kBriefly)), std::to_string(kWaitTimeout));
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(peerWaitsToBeWoken(holder), std::to_string(WAIT_OBJECT_0));
}

TEST(NamedMutexAcrossProcesses, SecondCreatorGetsTheExistingMutexUnowned) {
    const std::string name = uniqueName("second-creator");
    ScopedHandle mutex(CreateMutexA(nullptr, TRUE, name.c_str()));
    ASSERT_NE(mutex.get(), nullptr);
    PeerProcess second(peerMutex("owned-mutex", name));
    ASSERT_TRUE(second.ready()) << second.readyLine();
    EXPECT_EQ(second.readyLine(), "ready " + std::to_string(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(second.request("release 0"), "error " + std::to_string(ERROR_NOT_OWNER));
    EXPECT_EQ(second.request("wait 0 " + std::to_string(kBriefly)), std::to_string(kWaitTimeout));
    EXPECT_TRUE(ReleaseMutex(mutex.get()));
    EXPECT_EQ(peerWaitsToBeWoken(second), std::to_string(WAIT_OBJECT_0));
}

}  // namespace
