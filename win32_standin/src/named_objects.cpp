// Named mutexes and file mappings, shared between the processes of one user
// through the namespace of object_namespace.h.
//
// Within a process one kernel object stands for each name the process holds: a
// second creation or opening of the name gives another handle to that same
// object, so the process's threads share one ownership of a named mutex. The
// registry of these objects has one lock, held for every creation and opening
// and when the last handle of a named object closes. CloseHandle runs
// lastHandleClosed after it has let go of the handle table, so an opening may
// have given the object a new handle in between; lastHandleClosed looks at the
// handle count again under the registry's lock and then leaves the object
// registered, its name still held.
//
// Across processes a named mutex is owned through the ownership lock of its
// name's file: the process of the owner thread holds that lock, and the file
// records whether the last owner released the mutex, so a process that dies
// owning it leaves it abandoned for the next one. A mutex whose last handle in
// its process is closed while a thread of that process owns it is abandoned for
// the other processes as soon as the object is gone (at once, unless a wait
// still holds it); Windows keeps it owned until the thread ends. Nobody can
// release it either way, and the system waits on no named mutex.
//
// Handle access rights are not checked: every handle may do all its object
// allows (a mapping made read-only refuses writable views), since all
// processes of a namespace are one user's.
#include <sys/mman.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <optional>

#include "kernel.h"
#include "object_namespace.h"
#include "standin/testing.h"

namespace standin {
namespace {

using names::Namespace;
using names::ObjectDescription;
using names::ObjectFile;
using names::ObjectKind;
using names::OwnershipState;

// Views start at multiples of this, as on Windows.
constexpr std::uint64_t kAllocationGranularity = 65536;

struct Registry {
    std::mutex lock;
    std::map<std::string, std::weak_ptr<KernelObject>> objects;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

// What a named object adds to its kind: its name and this process's hold on it.
class NameHold {
public:
    NameHold(std::string name, std::shared_ptr<ObjectFile> file)
        : name_(std::move(name)), file_(std::move(file)) {}

    // The last handle of `object`, which carries this hold, was closed.
    void lastHandleClosed(const KernelObject& object) {
        Registry& names = registry();
        std::lock_guard<std::mutex> guard(names.lock);
        if (left_ || openHandleCount(object) > 0) return;
        left_ = true;
        auto found = names.objects.find(name_);
        if (found != names.objects.end() && found->second.lock().get() == &object) {
            names.objects.erase(found);
        }
        DWORD error = ERROR_SUCCESS;
        // The namespace exists: this process holds a name in it.
        Namespace& space = *Namespace::get(error);
        Namespace::Lock lock(space);
        space.leave(*file_);
    }

private:
    std::string name_;
    std::shared_ptr<ObjectFile> file_;
    bool left_ = false;  // guarded by the registry's lock
};

class FileOwnershipClaim : public CrossProcessClaim {
public:
    explicit FileOwnershipClaim(std::shared_ptr<ObjectFile> file) : file_(std::move(file)) {}

    bool claim() override {
        if (!held_) held_ = file_->tryLockOwnership();
        return held_;
    }

    bool takeOwnership() override {
        const OwnershipState previous = file_->ownershipState();
        file_->setOwnershipState(OwnershipState::Owned);
        // "Owned" is left behind by a process that died owning the mutex.
        return previous != OwnershipState::Free;
    }

    void handBack(Handback how) override {
        if (!held_) return;
        if (how == Handback::Released) file_->setOwnershipState(OwnershipState::Free);
        if (how == Handback::Abandoned) file_->setOwnershipState(OwnershipState::Abandoned);
        file_->unlockOwnership();
        held_ = false;
    }

    bool claimedElsewhere() override { return !held_ && file_->ownershipLockedElsewhere(); }

private:
    std::shared_ptr<ObjectFile> file_;
    bool held_ = false;
};

class NamedMutexObject : public MutexObject {
public:
    NamedMutexObject(std::string name, const std::shared_ptr<ObjectFile>& file)
        : MutexObject(std::make_unique<FileOwnershipClaim>(file)), hold_(std::move(name), file) {}

    void lastHandleClosed() override { hold_.lastHandleClosed(*this); }

private:
    NameHold hold_;
};

class FileMappingObject : public KernelObject {
public:
    FileMappingObject(std::shared_ptr<ObjectFile> file, std::optional<std::string> name)
        : KernelObject(ObjectType::FileMapping), file_(std::move(file)) {
        if (name) hold_.emplace(std::move(*name), file_);
    }

    const ObjectFile& file() const { return *file_; }

    void lastHandleClosed() override {
        if (hold_) hold_->lastHandleClosed(*this);
    }

private:
    std::shared_ptr<ObjectFile> file_;
    std::optional<NameHold> hold_;
};

ObjectKind kindOf(ObjectType type) {
    return type == ObjectType::Mutex ? ObjectKind::Mutex : ObjectKind::FileMapping;
}

// Makes this process's object for a name whose file it has just acquired;
// `created` tells that the name is new.
using ObjectMaker =
    std::function<ObjectRef(const std::string& name, const std::shared_ptr<ObjectFile>& file, bool created)>;

// A handle to the object of `name`, of the given type, created as `createAs`
// describes when the name is absent (only opened when `createAs` is null).
HANDLE acquireNamed(const char* name, ObjectType type, const ObjectDescription* createAs,
                    const ObjectMaker& make) {
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (strnlen(name, names::kMaxNameLength + 1) > names::kMaxNameLength) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    if (name[0] == '\0') {
        // Creation treats the empty name as no name; nothing can be opened by it.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const std::string key = name;
    Registry& names = registry();
    std::lock_guard<std::mutex> guard(names.lock);
    auto found = names.objects.find(key);
    if (found != names.objects.end()) {
        if (ObjectRef object = found->second.lock()) {
            if (object->type() != type) {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            HANDLE handle = insertHandle(std::move(object));
            if (createAs != nullptr) SetLastError(ERROR_ALREADY_EXISTS);
            return handle;
        }
        names.objects.erase(found);
    }

    DWORD error = ERROR_SUCCESS;
    Namespace* space = Namespace::get(error);
    if (space == nullptr) {
        SetLastError(error);
        return nullptr;
    }
    Namespace::Acquired acquired{};
    {
        Namespace::Lock lock(*space);
        acquired = space->acquire(key, createAs);
        if (acquired.file && acquired.file->description().kind != kindOf(type)) {
            // Held by an object of another kind; closing the file lets go of the hold.
            acquired = {nullptr, ERROR_INVALID_HANDLE, false};
        }
    }
    if (!acquired.file) {
        SetLastError(acquired.error);
        return nullptr;
    }
    ObjectRef object = make(key, acquired.file, acquired.created);
    names.objects[key] = object;
    HANDLE handle = insertHandle(std::move(object));
    if (acquired.created) {
        SetLastError(ERROR_SUCCESS);
    } else if (createAs != nullptr) {
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    return handle;
}

ObjectRef makeNamedMutex(const std::string& name, const std::shared_ptr<ObjectFile>& file,
                         bool created, bool initialOwner) {
    auto mutex = std::make_shared<NamedMutexObject>(name, file);
    // Ownership goes only to the creator of the name, as on Windows; nobody else
    // can hold the new name's ownership lock yet.
    if (created && initialOwner) {
        ThreadState& self = currentThread();
        std::lock_guard<std::mutex> guard(dispatcherLock());
        mutex->takeInitialOwnership(self);
    }
    return mutex;
}

ObjectRef makeMapping(const std::string& name, const std::shared_ptr<ObjectFile>& file, bool) {
    return std::make_shared<FileMappingObject>(file, name);
}

// The views of this process: base address and length. Its lock is held across
// each mmap and munmap, so the table always matches the address space.
struct ViewTable {
    std::mutex lock;
    std::map<std::uintptr_t, std::size_t> views;
};

ViewTable& viewTable() {
    static ViewTable instance;
    return instance;
}

}  // namespace

HANDLE createNamedMutex(const char* name, bool initialOwner) {
    if (name[0] == '\0') {
        SetLastError(ERROR_SUCCESS);
        return insertHandle(makeUnnamedMutex(initialOwner));
    }
    const ObjectDescription description{ObjectKind::Mutex, 0, 0};
    return acquireNamed(name, ObjectType::Mutex, &description,
                        [initialOwner](const std::string& key, const std::shared_ptr<ObjectFile>& file,
                                       bool created) {
                            return makeNamedMutex(key, file, created, initialOwner);
                        });
}

namespace testing {

std::string namedObjectDirectory() {
    DWORD error = ERROR_SUCCESS;
    Namespace* space = Namespace::get(error);
    return space != nullptr ? space->directory() : std::string();
}

}  // namespace testing
}  // namespace standin

using namespace standin;

HANDLE WINAPI OpenMutexA(DWORD, BOOL, LPCSTR lpName) {
    return acquireNamed(lpName, ObjectType::Mutex, nullptr,
                        [](const std::string& key, const std::shared_ptr<ObjectFile>& file, bool) {
                            return makeNamedMutex(key, file, false, false);
                        });
}

HANDLE WINAPI CreateFileMappingA(HANDLE hFile, LPSECURITY_ATTRIBUTES, DWORD flProtect,
                                 DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName) {
    if (hFile != INVALID_HANDLE_VALUE) {
        if (!resolveHandle(hFile)) return nullptr;
        // The system maps only memory backed by the paging file.
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    const std::uint64_t size = (static_cast<std::uint64_t>(dwMaximumSizeHigh) << 32) | dwMaximumSizeLow;
    if ((flProtect != PAGE_READONLY && flProtect != PAGE_READWRITE) || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const ObjectDescription description{ObjectKind::FileMapping, flProtect, size};
    if (lpName == nullptr || lpName[0] == '\0') {
        DWORD error = ERROR_SUCCESS;
        std::shared_ptr<ObjectFile> file = ObjectFile::anonymousMapping(description, error);
        if (!file) {
            SetLastError(error);
            return nullptr;
        }
        SetLastError(ERROR_SUCCESS);
        return insertHandle(std::make_shared<FileMappingObject>(std::move(file), std::nullopt));
    }
    return acquireNamed(lpName, ObjectType::FileMapping, &description, makeMapping);
}

HANDLE WINAPI OpenFileMappingA(DWORD, BOOL, LPCSTR lpName) {
    return acquireNamed(lpName, ObjectType::FileMapping, nullptr, makeMapping);
}

LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                            DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap) {
    auto mapping = resolveAs<FileMappingObject>(hFileMappingObject, ObjectType::FileMapping);
    if (!mapping) return nullptr;
    const bool writable = (dwDesiredAccess & FILE_MAP_WRITE) != 0;
    if (!writable && (dwDesiredAccess & FILE_MAP_READ) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const ObjectDescription& description = mapping->file().description();
    const std::uint64_t offset = (static_cast<std::uint64_t>(dwFileOffsetHigh) << 32) | dwFileOffsetLow;
    if (offset % kAllocationGranularity != 0) {
        SetLastError(ERROR_MAPPED_ALIGNMENT);
        return nullptr;
    }
    // A view reaches no further than the mapping, and writes only to a writable one.
    if ((writable && description.protection != PAGE_READWRITE) || offset >= description.size ||
        dwNumberOfBytesToMap > description.size - offset) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    const std::size_t length =
        dwNumberOfBytesToMap != 0 ? dwNumberOfBytesToMap : static_cast<std::size_t>(description.size - offset);
    ViewTable& table = viewTable();
    std::lock_guard<std::mutex> guard(table.lock);
    void* base = mmap(nullptr, length, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED,
                      mapping->file().fd(), ObjectFile::kDataOffset + static_cast<off_t>(offset));
    if (base == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    table.views.emplace(reinterpret_cast<std::uintptr_t>(base), length);
    return base;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress) {
    // Any address inside a view names that view, as on Windows.
    const auto address = reinterpret_cast<std::uintptr_t>(lpBaseAddress);
    ViewTable& table = viewTable();
    std::lock_guard<std::mutex> guard(table.lock);
    auto view = table.views.upper_bound(address);
    if (view == table.views.begin() || address - std::prev(view)->first >= std::prev(view)->second) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    --view;
    munmap(reinterpret_cast<void*>(view->first), view->second);
    table.views.erase(view);
    return TRUE;
}
