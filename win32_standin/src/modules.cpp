// The registry of built-in modules behind LoadLibraryA and GetProcAddress.
//
// A module handle is the address of the module's registry entry. Entries live as
// long as the process; FreeLibrary only drops a load reference, and a module with
// no reference left is no longer found by GetModuleHandleA.
#include <algorithm>
#include <cctype>
#include <list>
#include <map>
#include <string>

#include "hid/hid_modules.h"
#include "kernel.h"

namespace standin {
namespace {

struct Module {
    std::string name;  // lower case
    std::map<std::string, FARPROC> exports;
    std::size_t loadReferences = 0;
    bool alwaysLoaded = false;
};

// The name under which a module is registered and looked up: without case, and
// with ".dll" appended when the name has no extension, as Windows does; a
// trailing dot stands for "no extension" and is dropped.
std::string moduleKey(const char* name) {
    std::string key(name);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const std::size_t separator = key.find_last_of("\\/");
    const std::size_t fileName = separator == std::string::npos ? 0 : separator + 1;
    if (!key.empty() && key.back() == '.') {
        key.pop_back();
    } else if (key.find('.', fileName) == std::string::npos) {
        key += ".dll";
    }
    return key;
}

struct ModuleRegistry {
    std::mutex lock;
    std::list<Module> modules;  // a list, so that entries never move
    Module executable;

    ModuleRegistry() {
        executable.name = "<executable>";
        executable.alwaysLoaded = true;
    }

    Module& findOrAdd(const char* name) {
        if (Module* module = find(name)) return *module;
        modules.emplace_back();
        modules.back().name = moduleKey(name);
        return modules.back();
    }

    void add(const char* name, const std::vector<ModuleExport>& exports) {
        Module& module = findOrAdd(name);
        for (const ModuleExport& entry : exports) module.exports[entry.name] = entry.address;
    }

    Module* find(const char* name) {
        const std::string wanted = moduleKey(name);
        for (Module& module : modules) {
            if (module.name == wanted) return &module;
        }
        return nullptr;
    }

    Module* fromHandle(HMODULE handle) {
        if (reinterpret_cast<Module*>(handle) == &executable) return &executable;
        for (Module& module : modules) {
            if (reinterpret_cast<HMODULE>(&module) == handle) return &module;
        }
        return nullptr;
    }
};

void registerKernelModule(ModuleRegistry& registry) {
    Module kernel;
    kernel.name = "kernel32.dll";
    kernel.alwaysLoaded = true;
    kernel.exports.emplace("CancelIo", exportAddress(&CancelIo));
    registry.modules.push_back(std::move(kernel));
}

ModuleRegistry& registry() {
    static ModuleRegistry instance;
    static std::once_flag builtins;
    std::call_once(builtins, [] {
        registerKernelModule(instance);
        for (const BuiltinModuleDefinition& module : hid::hidModules()) instance.add(module.name, module.exports);
    });
    return instance;
}

HMODULE handleOf(Module* module) { return reinterpret_cast<HMODULE>(module); }

}  // namespace

void registerBuiltinModule(const char* name, std::vector<ModuleExport> exports) {
    ModuleRegistry& modules = registry();
    std::lock_guard<std::mutex> guard(modules.lock);
    modules.add(name, exports);
}

std::size_t loadedModuleReferences() {
    ModuleRegistry& modules = registry();
    std::lock_guard<std::mutex> guard(modules.lock);
    std::size_t references = 0;
    for (const Module& module : modules.modules) references += module.loadReferences;
    return references;
}

}  // namespace standin

using namespace standin;

HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName) {
    if (lpLibFileName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (injectedFailure(InjectedFailure::ModuleLoad)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ModuleRegistry& modules = registry();
    std::lock_guard<std::mutex> guard(modules.lock);
    Module* module = modules.find(lpLibFileName);
    if (module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    ++module->loadReferences;
    return handleOf(module);
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    ModuleRegistry& modules = registry();
    std::lock_guard<std::mutex> guard(modules.lock);
    Module* module = modules.fromHandle(hLibModule);
    if (module == nullptr || (module->loadReferences == 0 && !module->alwaysLoaded)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (module->loadReferences > 0) --module->loadReferences;
    return TRUE;
}

HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName) {
    ModuleRegistry& modules = registry();
    std::lock_guard<std::mutex> guard(modules.lock);
    if (lpModuleName == nullptr) return handleOf(&modules.executable);
    Module* module = modules.find(lpModuleName);
    if (module == nullptr || (module->loadReferences == 0 && !module->alwaysLoaded)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return handleOf(module);
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    if (injectedFailure(InjectedFailure::FunctionLookup)) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    ModuleRegistry& modules = registry();
    std::lock_guard<std::mutex> guard(modules.lock);
    Module* module = modules.fromHandle(hModule);
    if (module == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (lpProcName == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    auto found = module->exports.find(lpProcName);
    if (found == module->exports.end()) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return found->second;
}
