// Run-time binding of system libraries.
#include <string>

#include "conformance_support.h"

namespace {

TEST(Modules, Kernel32ExportsCancelIoWhateverTheCaseOfItsName) {
    HMODULE byLoad = LoadLibraryA("KERNEL32.DLL");
    ASSERT_NE(byLoad, nullptr);
    EXPECT_EQ(GetModuleHandleA("kernel32.dll"), byLoad);
    EXPECT_NE(GetProcAddress(byLoad, "CancelIo"), nullptr);
    EXPECT_TRUE(FreeLibrary(byLoad));
    // kernel32 stays loaded for the life of the process.
    EXPECT_NE(GetModuleHandleA("Kernel32.dll"), nullptr);
}

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

TEST(Modules, ExecutableHasAModuleHandleAndACommandLine) {
    EXPECT_NE(GetModuleHandleA(nullptr), nullptr);
    const char* commandLine = GetCommandLineA();
    ASSERT_NE(commandLine, nullptr);
    EXPECT_NE(std::string(commandLine).find("win32_conformance_tests"), std::string::npos) << commandLine;
}

}  // namespace
