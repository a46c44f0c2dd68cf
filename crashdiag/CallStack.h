#pragma once

#include "win32/FaultHooks.h"

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// The call stack of a thread's context, one frame a line, innermost first: "module!function+0x1a"
// where DbgHelp knows a symbol, "module+0x1234" where it does not. The walk reads the stack from the
// copy where it covers the address and from memory elsewhere. It stops after maxFrames frames or
// once timeLimit milliseconds have passed, and gives an empty text when DbgHelp cannot walk.
std::wstring GetCallStackText(const CONTEXT &context, const CStackCopy &stack, unsigned maxFrames = 64,
                              DWORD timeLimit = 10000);

} // namespace Win32
} // namespace Halyard
