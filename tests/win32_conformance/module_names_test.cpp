// Module names as LoadLibraryA and GetModuleHandleA take them: without regard to
// case, and with ".dll" implied when the name has no extension.
#include <gtest/gtest.h>

#include "win32_services.h"

namespace {

class ModuleNames : public ::testing::TestWithParam<const char*> {};

TEST_P(ModuleNames, NameTheSameModule) {
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    ASSERT_NE(kernel, nullptr);
    EXPECT_EQ(GetModuleHandleA(GetParam()), kernel);
    HMODULE loaded = LoadLibraryA(GetParam());
    EXPECT_EQ(loaded, kernel);
    EXPECT_NE(GetProcAddress(loaded, "CancelIo"), nullptr);
    EXPECT_TRUE(FreeLibrary(loaded));
}

INSTANTIATE_TEST_SUITE_P(Kernel, ModuleNames,
                         ::testing::Values("kernel32.dll", "KERNEL32.DLL", "Kernel32", "kernel32"));

}  // namespace
