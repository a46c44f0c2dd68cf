#pragma once

#include <windows.h>

namespace SyncTest {

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

} // namespace SyncTest
