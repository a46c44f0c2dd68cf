#pragma once

#include "win32/MappedView.h"
#include "win32/SmartHandle.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace SyncTest {

// The 16-byte state a named optex keeps in its "_Optext_MMF" mapping, as other processes see it.
struct OptexState
{
    DWORD spinCount;
    LONG lockCount;
    DWORD ownerThreadId;
    LONG recursion;
};

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

// A read-modify-write that loses updates unless a lock serialises it: the pause between the read and
// the write leaves room for another thread or process to come in between.
inline void IncrementUnsafely(volatile LONG *counter)
{
    const LONG value = *counter;
    for (int i = 0; i < 16; ++i)
    {
        YieldProcessor();
    }
    *counter = value + 1;
}

} // namespace SyncTest
