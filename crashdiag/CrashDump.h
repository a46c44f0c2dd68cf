#pragma once

#include <windows.h>

namespace Halyard {
namespace Win32 {

// Asks the crash-diagnostics facility for a mini-dump of a structured exception that is being
// translated. With counted set the request counts against the facility's per-process limit.
void RequestCrashDump(EXCEPTION_POINTERS *pointers, bool counted);

} // namespace Win32
} // namespace Halyard
