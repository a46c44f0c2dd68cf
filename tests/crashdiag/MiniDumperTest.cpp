#include "tests/support/ChildProcess.h"
#include "tests/support/TempFiles.h"
#include "win32/FileUtils.h"

#include "crashdiag/MiniDumper.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace Halyard;
using namespace Halyard::Testing;
using namespace Halyard::Win32;

TEST(CMiniDumper, DumpTypeDropsWhatOlderDbgHelpOrADebuggerCannotTake)
{
    const struct
    {
        int kind;
        int level;
        bool debugger;
        DWORD type;
    } cases[] = {
        {CMiniDumper::DataAndThreads, 68, false, 0x21A25},
        {CMiniDumper::DataAndThreads, 63, false, 0x21A25},
        {CMiniDumper::DataAndThreads, 62, false, 0x225},
        {CMiniDumper::DataAndThreads, 61, false, 0x225},
        {CMiniDumper::DataAndThreads, 52, false, 0x225},
        {CMiniDumper::DataAndThreads, 40, false, 0x5},
        {CMiniDumper::DataAndThreads, 68, true, 0x21825},
        {CMiniDumper::DataAndThreads, 52, true, 0x25},
        {CMiniDumper::ReferencedMemory, 68, false, 0x20050},
        {CMiniDumper::ReferencedMemory, 0, false, 0x10},
        {CMiniDumper::FullMemory, 68, false, 0x21826},
        {CMiniDumper::FullMemory, 61, false, 0x26},
        {CMiniDumper::FullMemory, 40, false, 0x6},
    };
    for (const auto &c : cases)
    {
        EXPECT_EQ(c.type, CMiniDumper::GetDumpType(c.kind, c.level, c.debugger))
            << "kind " << c.kind << " level " << c.level << " debugger " << c.debugger;
    }
    EXPECT_THROW(CMiniDumper::GetDumpType(4, 68, false), CException);
}

TEST(CMiniDumper, LevelIsThatOfTheNewestExportFound)
{
    const struct
    {
        std::set<std::wstring> exports;
        int level;
    } cases[] = {
        {{}, 0},
        {{L"MiniDumpWriteDump"}, 0},
        {{L"MiniDumpReadDumpStream"}, 40},
        {{L"MiniDumpReadDumpStream", L"EnumDirTree"}, 52},
        {{L"EnumDirTree", L"SymEnumLines"}, 61},
        {{L"SymEnumProcesses", L"SymEnumLines"}, 63},
        {{L"SymFindDebugInfoFile", L"MiniDumpReadDumpStream"}, 66},
        {{L"EnumerateLoadedModulesEx", L"EnumDirTree"}, 68},
    };
    for (const auto &c : cases)
    {
        const auto has = [&](const wchar_t *name) { return c.exports.count(name) != 0; };
        EXPECT_EQ(c.level, CMiniDumper::ProbeDbgHelpLevel(has));
    }
}

// Never beside the program: the folder set, or else the product's own. The parts of a whole name are
// those the crash dump tests find.
TEST(CMiniDumper, FileNamesLieInTheDumpFolder)
{
    EXPECT_EQ(GetDefaultCrashDumpFolder() + L"\\crashdiag_tests.exe", CMiniDumper(0, 0).GetDumpFileNamePrefix());
    CTempFolder folder(L"crashdiag");
    SetCrashDumpFolder(folder.Path() + L"\\");
    EXPECT_EQ(folder / L"crashdiag_tests.exe", CMiniDumper(0, CMiniDumper::AllNameParts).GetDumpFileNamePrefix());
    EXPECT_EQ(folder / L"crashdiag_tests.exe.dmp", CMiniDumper(0, 0).GetNextDumpFileName());
    SetCrashDumpFolder(L"");
    EXPECT_EQ(GetDefaultCrashDumpFolder(), GetCrashDumpFolder());
}

// The dumps written are read back by the crash dump tests; a name that cannot be created gives no
// dump and no file.
TEST(CMiniDumper, ANameThatCannotBeCreatedGivesNoDump)
{
    CTempFolder folder(L"crashdiag");
    CMiniDumper dumper(1, 0);
    ASSERT_TRUE(dumper.CanWrite());
    EXPECT_GE(dumper.GetDbgHelpLevel(), 40);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = 0xE0000001;
    CONTEXT context = {};
    ::RtlCaptureContext(&context);
    EXCEPTION_POINTERS pointers = {&record, &context};
    const std::wstring missing = folder.Path() + L"\\no such folder\\x.dmp";
    EXPECT_FALSE(dumper.CreateDump(CMiniDumper::ReferencedMemory, missing, &pointers));
    EXPECT_FALSE(FileExists(missing));
}

TEST(CMiniDumper, RequiredModulesAloneGiveTheirDataToMediumDumps)
{
    CMiniDumper dumper(0, 0);
    const std::wstring executable = ExecutableDirectory() + L"\\crashdiag_tests.exe";
    const std::wstring other = L"C:\\windows\\system32\\kernel32.dll";
    EXPECT_TRUE(dumper.IncludeModuleData(CMiniDumper::DataAndThreads, executable));
    EXPECT_FALSE(dumper.IncludeModuleData(CMiniDumper::DataAndThreads, other));
    EXPECT_TRUE(dumper.IncludeModuleData(CMiniDumper::FullMemory, other));
    dumper.AddRequiredModule(L"C:\\WINDOWS\\System32\\KERNEL32.DLL");
    EXPECT_TRUE(dumper.IncludeModuleData(CMiniDumper::DataAndThreads, other));
}
