#pragma once

// A temporary folder that a test owns: "program" holds a copy of the test helper and is its current
// folder, so that a dump or trace landing beside the program shows; "dumps" is where the helper is
// told to put its dumps and its trace.

#include "tests/support/ChildProcess.h"
#include "tests/support/TempFiles.h"
#include "win32/FileUtils.h"

#include <string>
#include <vector>

namespace Halyard {
namespace Testing {

class CCrashFolder : public CTempFolder
{
public:
    CCrashFolder() : CTempFolder(L"crashdiag")
    {
        Win32::CreateDirectory(ProgramFolder());
        Win32::CopyFile(ExecutableDirectory() + L"\\test_helper.exe", HelperPath(), false);
    }

    std::wstring ProgramFolder() const { return *this / L"program"; }
    std::wstring HelperPath() const { return ProgramFolder() + L"\\test_helper.exe"; }
    std::wstring DumpFolder() const { return *this / L"dumps"; }

    // Runs the helper's crash mode in the program folder, its dumps sent to the dump folder unless
    // they are to go where they go by default.
    ProgramRun Run(const std::wstring &commands, bool toDumpFolder = true) const
    {
        const std::wstring folder = toDumpFolder ? L"folder \"" + DumpFolder() + L"\" " : L"";
        return RunProgram(HelperPath(), L"crash " + folder + commands, ProgramFolder());
    }

    std::vector<std::wstring> ProgramFolderFiles() const { return FilesMatching(ProgramFolder() + L"\\*"); }
    std::vector<std::wstring> Dumps() const { return FilesMatching(DumpFolder() + L"\\test_helper.exe-*.dmp"); }
    // The helper's debug trace, "Halyard.log" beside its dumps.
    std::string Log() const { return Win32::LoadFileAsString(DumpFolder() + L"\\Halyard.log"); }
};

} // namespace Testing
} // namespace Halyard
