// The per-user namespace directory, its lock and the files of named objects.
#include "object_namespace.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace standin::names {
namespace {

constexpr const char* kDirectoryName = "win32-standin-objects";
// Starts with a dot, which no encoded name does.
constexpr const char* kLockFileName = ".lock";

// Bytes of a name's file that carry locks; locks need no data behind them.
constexpr off_t kExistenceByte = 0;
constexpr off_t kOwnershipByte = 1;

// The head of a name's file; written once by the creator, before any other
// process can find the name.
struct FileHeader {
    char magic[8];
    std::uint32_t kind;
    std::uint32_t protection;
    std::uint64_t size;
};
constexpr char kMagic[8] = {'W', '3', '2', 'N', 'A', 'M', 'E', '1'};
constexpr off_t kOwnershipStateOffset = 64;
static_assert(sizeof(FileHeader) <= kOwnershipStateOffset, "header overlaps the ownership state");

DWORD windowsErrorOf(int errnoValue) {
    switch (errnoValue) {
    case EACCES:
    case EPERM:
    case ELOOP:
    case ENOTDIR:
    case EEXIST:
        return ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool setLock(int fd, short type, off_t byte, bool wait) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    for (;;) {
        if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
        if (errno != EINTR) return false;
    }
}

bool isLockConflict(int errnoValue) { return errnoValue == EAGAIN || errnoValue == EACCES; }

// True when another open file description holds a lock on that byte.
bool lockedElsewhere(int fd, off_t byte) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
    return lock.l_type != F_UNLCK;
}

bool writeAll(int fd, const void* data, std::size_t length, off_t offset) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        const ssize_t written = pwrite(fd, bytes, length, offset);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        length -= static_cast<std::size_t>(written);
        offset += written;
    }
    return true;
}

// Makes room for the zero-filled bytes of a file mapping. Where the file system
// can, the room is reserved, so that touching a view never fails for want of
// space, as Windows commits a section's memory when it is made; elsewhere the
// file only grows.
int reserveData(int fd, std::uint64_t size) {
    if (size > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - ObjectFile::kDataOffset)) {
        return EFBIG;
    }
    const off_t length = static_cast<off_t>(size);
    if (fallocate(fd, 0, ObjectFile::kDataOffset, length) == 0) return 0;
    if (errno != EOPNOTSUPP) return errno;
    return ftruncate(fd, ObjectFile::kDataOffset + length) == 0 ? 0 : errno;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A directory of the namespace, from its top down to the one that holds a name's file.
class DirectoryChain {
public:
    // Opens the directories of `path` (all but its last element) below `top`,
    // creating missing ones when asked. On failure `error` holds the errno value.
    DirectoryChain(int top, const std::vector<std::string>& path, bool create, int& error) {
        UniqueFd first(fcntl(top, F_DUPFD_CLOEXEC, 0));
        if (!first) {
            error = errno;
            return;
        }
        levels_.push_back(std::move(first));
        for (std::size_t i = 0; i + 1 < path.size(); ++i) {
            if (create && mkdirat(levels_.back().get(), path[i].c_str(), 0700) != 0 && errno != EEXIST) {
                error = errno;
                return;
            }
            UniqueFd next(openat(levels_.back().get(), path[i].c_str(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next) {
                error = errno;
                return;
            }
            levels_.push_back(std::move(next));
        }
        complete_ = true;
    }

    bool complete() const { return complete_; }
    int parent() const { return levels_.back().get(); }

    // Removes the file `leaf` if it still is `file`, then every directory of the
    // chain that this leaves empty.
    void remove(const std::vector<std::string>& path, const struct stat& file) {
        struct stat found {};
        if (fstatat(parent(), path.back().c_str(), &found, AT_SYMLINK_NOFOLLOW) != 0) return;
        if (!sameFile(found, file)) return;
        if (unlinkat(parent(), path.back().c_str(), 0) != 0) return;
        for (std::size_t level = levels_.size() - 1; level > 0; --level) {
            if (unlinkat(levels_[level - 1].get(), path[level - 1].c_str(), AT_REMOVEDIR) != 0) return;
        }
    }

private:
    std::vector<UniqueFd> levels_;
    bool complete_ = false;
};

bool readDescription(int fd, ObjectDescription& description) {
    FileHeader header{};
    if (pread(fd, &header, sizeof header, 0) != static_cast<ssize_t>(sizeof header)) return false;
    if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) return false;
    const auto kind = static_cast<ObjectKind>(header.kind);
    if (kind != ObjectKind::Mutex && kind != ObjectKind::FileMapping) return false;
    description = ObjectDescription{kind, header.protection, header.size};
    return true;
}

}  // namespace

void UniqueFd::reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

std::string chooseNamespaceDirectory(const char* runtimeDirectory, uid_t user) {
    if (runtimeDirectory != nullptr && runtimeDirectory[0] == '/') {
        struct stat status {};
        if (stat(runtimeDirectory, &status) == 0 && S_ISDIR(status.st_mode) &&
            status.st_uid == user && (status.st_mode & 077) == 0) {
            std::string path = runtimeDirectory;
            if (path.back() != '/') path += '/';
            return path + kDirectoryName;
        }
    }
    return std::string("/tmp/") + kDirectoryName + "-" + std::to_string(user);
}

UniqueFd openPrivateDirectory(const std::string& path, uid_t owner, int& error) {
    const bool created = mkdir(path.c_str(), 0700) == 0;
    if (!created && errno != EEXIST) {
        error = errno;
        return UniqueFd();
    }
    UniqueFd directory(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        error = errno;
        return UniqueFd();
    }
    // The process's umask may have taken bits from a directory made just now.
    if (created && fchmod(directory.get(), 0700) != 0) {
        error = errno;
        return UniqueFd();
    }
    struct stat status {};
    if (fstat(directory.get(), &status) != 0) {
        error = errno;
        return UniqueFd();
    }
    if (!S_ISDIR(status.st_mode) || status.st_uid != owner || (status.st_mode & 077) != 0 ||
        (status.st_mode & 0700) != 0700) {
        error = EACCES;
        return UniqueFd();
    }
    return directory;
}

std::vector<std::string> nameFilePath(const std::string& name) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(name.size() * 3);
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '_';
        if (plain) {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0xF];
        }
    }
    std::vector<std::string> path;
    std::size_t start = 0;
    while (encoded.size() - start > kComponentLength) {
        path.push_back(encoded.substr(start, kComponentLength) + ".d");
        start += kComponentLength;
    }
    path.push_back(encoded.substr(start));
    return path;
}

std::shared_ptr<ObjectFile> ObjectFile::anonymousMapping(const ObjectDescription& description,
                                                         DWORD& error) {
    UniqueFd fd(memfd_create("win32-file-mapping", MFD_CLOEXEC));
    if (!fd) {
        error = windowsErrorOf(errno);
        return nullptr;
    }
    if (const int failure = reserveData(fd.get(), description.size); failure != 0) {
        error = windowsErrorOf(failure);
        return nullptr;
    }
    error = ERROR_SUCCESS;
    return std::make_shared<ObjectFile>(std::move(fd), std::vector<std::string>{}, description);
}

bool ObjectFile::tryLockOwnership() { return setLock(fd(), F_WRLCK, kOwnershipByte, false); }

void ObjectFile::unlockOwnership() { setLock(fd(), F_UNLCK, kOwnershipByte, false); }

bool ObjectFile::ownershipLockedElsewhere() const { return lockedElsewhere(fd(), kOwnershipByte); }

OwnershipState ObjectFile::ownershipState() const {
    std::uint32_t state = 0;
    if (pread(fd(), &state, sizeof state, kOwnershipStateOffset) != static_cast<ssize_t>(sizeof state)) {
        return OwnershipState::Free;
    }
    return static_cast<OwnershipState>(state);
}

void ObjectFile::setOwnershipState(OwnershipState state) {
    const auto value = static_cast<std::uint32_t>(state);
    writeAll(fd(), &value, sizeof value, kOwnershipStateOffset);
}

Namespace::Namespace(std::string directory, UniqueFd directoryFd, UniqueFd lockFd)
    : directory_(std::move(directory)), directoryFd_(std::move(directoryFd)), lockFd_(std::move(lockFd)) {}

Namespace* Namespace::get(DWORD& error) {
    static DWORD setupError = ERROR_SUCCESS;
    static std::unique_ptr<Namespace> instance = [] {
        const std::string path = chooseNamespaceDirectory(std::getenv("XDG_RUNTIME_DIR"), geteuid());
        int failure = 0;
        UniqueFd directory = openPrivateDirectory(path, geteuid(), failure);
        if (!directory) {
            setupError = windowsErrorOf(failure);
            return std::unique_ptr<Namespace>();
        }
        UniqueFd lock(openat(directory.get(), kLockFileName,
                             O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!lock) {
            setupError = windowsErrorOf(errno);
            return std::unique_ptr<Namespace>();
        }
        auto space = std::make_unique<Namespace>(path, std::move(directory), std::move(lock));
        Lock sweeping(*space);
        space->removeStaleFiles(space->directoryFd_.get());
        return space;
    }();
    error = setupError;
    return instance.get();
}

void Namespace::removeStaleFiles(int directory) {
    UniqueFd listed(fcntl(directory, F_DUPFD_CLOEXEC, 0));
    DIR* entries = listed ? fdopendir(listed.get()) : nullptr;
    if (entries == nullptr) return;
    listed.release();
    while (const dirent* entry = readdir(entries)) {
        const char* leaf = entry->d_name;
        if (leaf[0] == '.') continue;  // ".", ".." and the lock file
        struct stat status {};
        if (fstatat(directory, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(status.st_mode)) {
            UniqueFd below(openat(directory, leaf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!below) continue;
            removeStaleFiles(below.get());
            unlinkat(directory, leaf, AT_REMOVEDIR);  // fails while it still holds a name
        } else if (S_ISREG(status.st_mode)) {
            UniqueFd file(openat(directory, leaf, O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
            struct stat opened {};
            if (file && fstat(file.get(), &opened) == 0 && sameFile(opened, status) &&
                setLock(file.get(), F_WRLCK, kExistenceByte, false)) {
                unlinkat(directory, leaf, 0);
            }
        }
    }
    closedir(entries);
}

Namespace::Lock::Lock(Namespace& space) : space_(space), threads_(space.threads_) {
    setLock(space_.lockFd_.get(), F_WRLCK, 0, true);
}

Namespace::Lock::~Lock() { setLock(space_.lockFd_.get(), F_UNLCK, 0, false); }

Namespace::Acquired Namespace::acquire(const std::string& name, const ObjectDescription* createAs) {
    const std::vector<std::string> path = nameFilePath(name);
    const std::string& leaf = path.back();
    {
        int failure = 0;
        DirectoryChain chain(directoryFd_.get(), path, false, failure);
        if (chain.complete()) {
            UniqueFd fd(openat(chain.parent(), leaf.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
            if (fd) {
                struct stat status {};
                if (fstat(fd.get(), &status) != 0) return {nullptr, windowsErrorOf(errno), false};
                if (!S_ISREG(status.st_mode)) return {nullptr, ERROR_ACCESS_DENIED, false};
                if (setLock(fd.get(), F_WRLCK, kExistenceByte, false)) {
                    // Nobody holds the name: the file was left by holders that died.
                    chain.remove(path, status);
                } else if (!isLockConflict(errno)) {
                    return {nullptr, windowsErrorOf(errno), false};
                } else {
                    if (!setLock(fd.get(), F_RDLCK, kExistenceByte, false)) {
                        return {nullptr, windowsErrorOf(errno), false};
                    }
                    ObjectDescription description{};
                    // A file that is not ours holds no object of a kind the caller asks for.
                    if (!readDescription(fd.get(), description)) return {nullptr, ERROR_INVALID_HANDLE, false};
                    return {std::make_shared<ObjectFile>(std::move(fd), path, description), ERROR_SUCCESS, false};
                }
            } else if (errno != ENOENT) {
                return {nullptr, windowsErrorOf(errno), false};
            }
        } else if (failure != ENOENT) {
            return {nullptr, windowsErrorOf(failure), false};
        }
    }
    if (createAs == nullptr) return {nullptr, ERROR_FILE_NOT_FOUND, false};

    int failure = 0;
    DirectoryChain chain(directoryFd_.get(), path, true, failure);
    if (!chain.complete()) return {nullptr, windowsErrorOf(failure), false};
    UniqueFd fd(openat(chain.parent(), leaf.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd) return {nullptr, windowsErrorOf(errno), false};
    struct stat status {};
    FileHeader header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.kind = static_cast<std::uint32_t>(createAs->kind);
    header.protection = createAs->protection;
    header.size = createAs->size;
    int problem = 0;
    if (fstat(fd.get(), &status) != 0 || !setLock(fd.get(), F_RDLCK, kExistenceByte, false) ||
        !writeAll(fd.get(), &header, sizeof header, 0)) {
        problem = errno;
    } else if (createAs->kind == ObjectKind::FileMapping) {
        problem = reserveData(fd.get(), createAs->size);
    }
    if (problem != 0) {
        chain.remove(path, status);
        return {nullptr, windowsErrorOf(problem), false};
    }
    return {std::make_shared<ObjectFile>(std::move(fd), path, *createAs), ERROR_SUCCESS, true};
}

void Namespace::leave(ObjectFile& file) {
    if (setLock(file.fd(), F_WRLCK, kExistenceByte, false)) {
        // No other holder is left: the name ends with this one.
        struct stat status {};
        int failure = 0;
        DirectoryChain chain(directoryFd_.get(), file.path(), false, failure);
        if (fstat(file.fd(), &status) == 0 && chain.complete()) chain.remove(file.path(), status);
    }
    setLock(file.fd(), F_UNLCK, kExistenceByte, false);
}

}  // namespace standin::names
