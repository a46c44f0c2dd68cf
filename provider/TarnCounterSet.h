#pragma once

#include "perfmon/schema/Schema.h"

namespace Halyard {
namespace Win32 {
class CRegistryKey;
} // namespace Win32
} // namespace Halyard

// The product whose counters this module publishes; its kernel objects and registry entries are named after it.
extern const wchar_t TarnProductName[];

// The language of every text of the counter set.
extern const wchar_t TarnLanguageId[];

// The name of the TARN performance object.
extern const wchar_t TarnObjectName[];

// The TARN server's counter set. Server and provider both build it and lay out the shared block from
// it, so every text, number and order here is part of their contract and of the installed checksum.
Halyard::PerfMon::CPerformanceDataSchema CreateTarnCounterSet();

// How long the provider and the server wait for the shared block's lock, in milliseconds: the
// optional REG_DWORD "Lock Timeout" under the product's Performance key, or the library's default
// when it is absent or outside the range an install accepts (0 would never wait, INFINITE never stop).
DWORD TarnLockTimeout();
// The same from the product's Performance key, already open.
DWORD TarnLockTimeout(const Halyard::Win32::CRegistryKey &performance);
