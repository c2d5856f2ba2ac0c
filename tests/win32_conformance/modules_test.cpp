// Run-time binding of system libraries.
#include <string>
#include <vector>

#include "conformance_support.h"

namespace {

// Module names as LoadLibraryA and GetModuleHandleA take them: without regard to
// case, and with ".dll" implied when the name has no extension.
class ModuleNames : public ::testing::TestWithParam<const char*> {};

TEST_P(ModuleNames, NameTheSameModule) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(GetModuleHandleA(GetParam()), kernel);
    HMODULE loaded = LoadLibraryA(GetParam());
    EXPECT_EQ(loaded, kernel);
    EXPECT_NE(GetProcAddress(loaded, "CancelIo"), nullptr);
    EXPECT_TRUE(FreeLibrary(loaded));
    // kernel32 stays loaded for the life of the process.
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), kernel);
}

INSTANTIATE_TEST_SUITE_P(Kernel, ModuleNames,
                         ::testing::Values("kernel32.dll", "KERNEL32.DLL", "Kernel32", "kernel32"));

TEST(Modules, MissingModuleAndMissingFunctionAreReported) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("no-such-module-of-this-project.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    SetLastError(0);
    EXPECT_EQ(GetModuleHandleA("no-such-module-of-this-project.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddress(kernel, "NoSuchFunctionOfThisProject"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
}

TEST(Modules, TheSystemsLibrariesExportWhatDiscoveryBinds) {
    struct Library {
        const char* name;
        std::vector<const char*> functions;
    };
    const Library libraries[] = {
        {"hid.dll",
         {"HidD_GetAttributes", "HidD_GetHidGuid", "HidD_GetPreparsedData", "HidP_GetCaps",
          "HidD_FreePreparsedData", "HidD_GetNumInputBuffers", "HidD_SetNumInputBuffers",
          "HidD_GetSerialNumberString", "HidD_GetIndexedString"}},
        {"cfgmgr32.dll", {"CM_Get_Parent"}},
        {"setupapi.dll",
         {"SetupDiGetDeviceInterfaceDetailA", "SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces",
          "SetupDiDestroyDeviceInfoList"}},
    };
    for (const Library& library : libraries) {
        HMODULE module = LoadLibraryA(library.name);
        ASSERT_NE(module, nullptr) << library.name;
        for (const char* function : library.functions) {
            EXPECT_NE(GetProcAddress(module, function), nullptr) << library.name << " " << function;
        }
        EXPECT_TRUE(FreeLibrary(module));
    }
}

TEST(Modules, ExecutableHasAModuleHandleAndACommandLine) {
    EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
    const char* commandLine = GetCommandLineA();
    ASSERT_NE(commandLine, nullptr);
    EXPECT_NE(std::string(commandLine).find("win32_conformance_tests"), std::string::npos) << commandLine;
}

}  // namespace
