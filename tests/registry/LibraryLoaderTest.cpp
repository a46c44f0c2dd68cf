#include "win32/LibraryLoader.h"

#include "win32/Exception.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;

TEST(CLibraryLoader, MissingModuleThrowsOnlyWhenAsked)
{
    const CLibraryLoader quiet(L"HalyardNoSuchModule.dll", false);
    EXPECT_FALSE(quiet.IsLoaded());
    EXPECT_FALSE(quiet.HasProcAddress(L"GetTickCount"));
    try
    {
        const CLibraryLoader loud(L"HalyardNoSuchModule.dll");
        FAIL() << "no exception";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CLibraryLoader::CLibraryLoader() - \"HalyardNoSuchModule.dll\"", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_MOD_NOT_FOUND), e.GetError());
    }
}

TEST(CLibraryLoader, FindsExportsOnlyOfTheLoadedModule)
{
    CLibraryLoader kernel32(L"kernel32.dll");
    EXPECT_TRUE(kernel32.HasProcAddress(L"GetTickCount"));
    EXPECT_FALSE(kernel32.HasProcAddress(L"HalyardNoSuchExport"));
    const FARPROC address = kernel32.GetProcAddress(L"GetTickCount");
    EXPECT_EQ(reinterpret_cast<FARPROC>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTickCount")),
              address);
    try
    {
        kernel32.GetProcAddress(L"HalyardNoSuchExport");
        FAIL() << "no exception";
    }
    catch (const CWin32Exception &e)
    {
        EXPECT_EQ(L"CLibraryLoader::GetProcAddress() - \"HalyardNoSuchExport\"", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_PROC_NOT_FOUND), e.GetError());
    }

    kernel32.FreeLibrary();
    EXPECT_FALSE(kernel32.IsLoaded());
    // Not the process's own executable: with nothing loaded there is nothing to find.
    EXPECT_FALSE(kernel32.HasProcAddress(L"GetTickCount"));
}
