#pragma once

// Faults on purpose, for the tests of the exception translator and the crash helper.

namespace Halyard {
namespace Testing {

inline volatile int *volatile g_nullPointer = nullptr;

__attribute__((noinline)) inline void WriteThroughNull()
{
    *g_nullPointer = 1;
}

// Recurses until the limit, which is far beyond any stack. The compiler takes an access to a
// function's own frame for one that cannot fault, and a function with nothing else in it for one
// that cannot throw: a call into it would then have no entry in the caller's exception tables, and
// the stack overflow translated inside it would end in terminate (or not, as the caller's code
// happens to be laid out). Writing the frame through a pointer it cannot see through keeps the
// call able to throw, as any real code that overflows the stack is.
inline volatile unsigned g_recursionLimit = 0xFFFFFFFF;

__attribute__((noinline)) inline unsigned Recurse(unsigned depth)
{
    volatile char frame[512];
    volatile char *volatile opaque = frame;
    opaque[0] = static_cast<char>(depth);
    if (depth == g_recursionLimit)
    {
        return 0;
    }
    return Recurse(depth + 1) + frame[0];
}

} // namespace Testing
} // namespace Halyard
