#include "win32/LibraryLoader.h"

#include "win32/Exception.h"

#include <gtest/gtest.h>

using namespace Halyard::Win32;

TEST(CLibraryLoader, MissingModuleWithoutThrowingIsNotLoaded)
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

    try
    {
        const CLibraryLoader null(static_cast<HMODULE>(nullptr));
        FAIL() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CLibraryLoader::CLibraryLoader()", e.GetWhere());
        EXPECT_EQ(L"Invalid module handle", e.GetMessage());
    }
}

TEST(CLibraryLoader, FindsExportsOfTheLoadedModule)
{
    CLibraryLoader kernel32(L"kernel32.dll");
    ASSERT_TRUE(kernel32.IsLoaded());
    EXPECT_TRUE(kernel32.HasProcAddress(L"GetTickCount"));
    EXPECT_FALSE(kernel32.HasProcAddress(L"HalyardNoSuchExport"));

    const FARPROC address = kernel32.GetProcAddress(L"GetTickCount");
    EXPECT_EQ(reinterpret_cast<FARPROC>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetTickCount")),
              address);
    const ULONG_PTR offset = kernel32.GetProcOffset(L"GetTickCount");
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(address) - reinterpret_cast<ULONG_PTR>(kernel32.GetModule()), offset);
    EXPECT_EQ(offset + 0x1000, kernel32.GetProcOffset(L"GetTickCount", 0x1000));

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

TEST(CLibraryLoader, LoadsWithoutResolvingAndMoves)
{
    CLibraryLoader loader(L"HalyardNoSuchModule.dll", false);
    EXPECT_TRUE(loader.Load(L"version.dll", false));
    EXPECT_TRUE(loader.IsLoaded());
    EXPECT_THROW(loader.LoadLibrary(L"HalyardNoSuchModule.dll", true), CWin32Exception);
    EXPECT_FALSE(loader.IsLoaded());

    loader.LoadLibrary(L"version.dll", true);
    CLibraryLoader moved(std::move(loader));
    EXPECT_FALSE(loader.IsLoaded());
    EXPECT_TRUE(moved.HasProcAddress(L"GetFileVersionInfoSizeW"));
}
