#pragma once

#include <windows.h>

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

// A read-modify-write that loses updates unless a lock serialises it: the pause between the read and
// the write leaves room for another thread to come in between.
inline void IncrementUnsafely(volatile LONG *counter)
{
    const LONG value = *counter;
    for (int i = 0; i < 16; ++i)
    {
        YieldProcessor();
    }
    *counter = value + 1;
}

// Exit codes of the helper beyond the Win32 errors it passes on.
const DWORD kHelperBadArguments = 1001;
const DWORD kHelperTimedOut = 1002;
const DWORD kHelperException = 1003;

} // namespace SyncTest
