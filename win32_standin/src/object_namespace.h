// The namespace of named objects that the processes of one user share, kept in a
// private directory, and the files that carry the objects.
//
// Every name has one file in the namespace directory (see nameFilePath). Whether
// a name exists is told by locks, not by the file: each process that holds a
// handle to the name's object holds a read lock on the existence byte of that
// file through its own open file description. The kernel drops such locks when
// the description is closed, also when the process dies, so a name held only by
// processes that crashed or were killed has no lock holder left: its file is
// stale, counts as absent and is removed by whoever finds it. One write lock on
// the namespace's lock file serialises every creation, opening and leaving of a
// name among all processes, so testing "nobody holds it" and acting on the answer
// is atomic. It is held only for those few file operations; a process that is
// stopped (not killed) in the middle of one holds up the others until it goes on.
//
// All locks are open-file-description locks (F_OFD_SETLK): they belong to one
// open file, conflict between two opens of the same file even within a process,
// and are released by the kernel when that file is closed or its process ends.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "standin/win32_types.h"

namespace standin::names {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

// Windows converts an object name into a buffer of MAX_PATH characters and
// refuses a longer name with ERROR_FILENAME_EXCED_RANGE. The stand-in takes a
// name of up to MAX_PATH bytes (the system's names are single-byte text) and
// refuses a longer one the same way.
constexpr std::size_t kMaxNameLength = MAX_PATH;

// The directory of the namespace for a process of user `user` whose
// XDG_RUNTIME_DIR is `runtimeDirectory` (null when unset).
//
// A Windows process creates named objects in its session's namespace. Here the
// login session's runtime directory stands for it: "$XDG_RUNTIME_DIR/
// win32-standin-objects", when XDG_RUNTIME_DIR is an absolute path to a directory
// that belongs to the user and is closed to everyone else (as the login manager
// makes it). Otherwise "/tmp/win32-standin-objects-<uid>". As on Windows, where a
// service and an interactive program sit in different sessions, processes that
// see different runtime directories do not share names.
std::string chooseNamespaceDirectory(const char* runtimeDirectory, uid_t user);

// Opens the directory at `path`, creating it with mode 0700 when it is absent.
// Refuses (an empty result and `error` set to an errno value) anything but a
// real directory, not a symbolic link, that belongs to `owner` and gives group
// and others no access; such a directory is left as it is, never repaired.
UniqueFd openPrivateDirectory(const std::string& path, uid_t owner, int& error);

// The path of a name's file, relative to the namespace directory, one element
// per path component. Letters, digits, '-' and '_' stand for themselves; every
// other byte becomes '%' and two upper-case hexadecimal digits. So the encoding
// is injective and yields no '/', no "." or "..", no leading dot (the
// namespace's own files start with one) and no empty component. A file name
// holds at most 255 bytes, and a name of MAX_PATH bytes can encode into three
// times as many, so the encoding is cut into pieces of kComponentLength
// characters: every piece but the last names a directory and carries ".d", so no
// directory can have the name of a file. The name must not be empty.
constexpr std::size_t kComponentLength = 200;
std::vector<std::string> nameFilePath(const std::string& name);

enum class ObjectKind : std::uint32_t { Mutex = 1, FileMapping = 2 };

// What every process learns about a name's object from its file.
struct ObjectDescription {
    ObjectKind kind;
    DWORD protection;    // of a file mapping: PAGE_READONLY or PAGE_READWRITE
    std::uint64_t size;  // of a file mapping, in bytes
};

// Who may take a named mutex, as its file records it for every process. Only the
// process that holds the ownership lock reads or writes it.
enum class OwnershipState : std::uint32_t { Free = 0, Owned = 1, Abandoned = 2 };

// The open file behind an object of this process: the file of a name, or, for an
// unnamed file mapping, an anonymous memory file. A file mapping's bytes start at
// kDataOffset, a multiple of every page size, so views map straight from it.
class ObjectFile {
public:
    static constexpr off_t kDataOffset = 65536;

    ObjectFile(UniqueFd fd, std::vector<std::string> path, ObjectDescription description)
        : fd_(std::move(fd)), path_(std::move(path)), description_(description) {}

    // A file mapping's memory file without a name; null with a Windows error.
    static std::shared_ptr<ObjectFile> anonymousMapping(const ObjectDescription& description,
                                                        DWORD& error);

    int fd() const { return fd_.get(); }
    const ObjectDescription& description() const { return description_; }
    const std::vector<std::string>& path() const { return path_; }

    // The ownership lock of a named mutex; none of these waits.
    bool tryLockOwnership();
    void unlockOwnership();
    bool ownershipLockedElsewhere() const;
    OwnershipState ownershipState() const;
    void setOwnershipState(OwnershipState state);

private:
    UniqueFd fd_;
    std::vector<std::string> path_;
    ObjectDescription description_;
};

class Namespace {
public:
    // The namespace of this process's user, set up on first use; null with a
    // Windows error (ERROR_ACCESS_DENIED for a directory that is not private)
    // when its directory cannot be used. Setting up also removes the stale files
    // that dead processes left, so that they do not pile up under names nobody
    // asks for again.
    static Namespace* get(DWORD& error);

    const std::string& directory() const { return directory_; }

    // Serialises the calls below among the threads of this process and among
    // all processes of the namespace.
    class Lock {
    public:
        explicit Lock(Namespace& space);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        Namespace& space_;
        std::unique_lock<std::mutex> threads_;
    };

    struct Acquired {
        std::shared_ptr<ObjectFile> file;  // null on failure
        DWORD error;                       // ERROR_SUCCESS or the reason of the failure
        bool created;
    };
    // With a Lock held: joins the holders of an existing name, or, when it is
    // absent and `createAs` is given, creates it (a new file mapping zero-filled)
    // and becomes its first holder. An absent name without `createAs` fails with
    // ERROR_FILE_NOT_FOUND. The caller checks the kind of an existing object.
    Acquired acquire(const std::string& name, const ObjectDescription* createAs);
    // With a Lock held: stops holding the name of `file`; the last holder
    // removes the file. The file stays open: views and a mutex's ownership
    // outlive the name.
    void leave(ObjectFile& file);

    Namespace(std::string directory, UniqueFd directoryFd, UniqueFd lockFd);

private:
    // With a Lock held.
    void removeStaleFiles(int directory);

    std::string directory_;
    UniqueFd directoryFd_;
    UniqueFd lockFd_;
    std::mutex threads_;
};

}  // namespace standin::names
