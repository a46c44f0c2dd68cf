#pragma once

#include "SyncTestSupport.h"
#include "tests/support/ChildProcess.h"

#include "win32/MappedView.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace SyncTest {

using Halyard::Testing::UniqueName;

// The 16-byte state a named optex keeps in its "_Optext_MMF" mapping, as other processes see it.
struct OptexState
{
    DWORD spinCount;
    LONG lockCount;
    DWORD ownerThreadId;
    LONG recursion;
};

// Reads a named optex's state through its own mapping, as another process would.
inline OptexState ReadOptexState(const std::wstring &name)
{
    OptexState state = {};
    const Halyard::Win32::CSmartHandle mapping(::OpenFileMappingW(FILE_MAP_READ, FALSE, (name + L"_Optext_MMF").c_str()));
    const Halyard::Win32::CMappedView view(
        mapping.IsValid() ? ::MapViewOfFile(mapping.GetHandle(), FILE_MAP_READ, 0, 0, 0) : nullptr);
    if (view.IsValid())
    {
        std::memcpy(&state, view.Get(), sizeof(state));
    }
    return state;
}

// The exception that body throws; a failure of the test when it throws none.
template <typename Exception, typename Body>
Exception Thrown(Body body)
{
    try
    {
        body();
    }
    catch (const Exception &e)
    {
        return e;
    }
    ADD_FAILURE() << "no exception was thrown";
    return Exception(L"", L"");
}

} // namespace SyncTest
