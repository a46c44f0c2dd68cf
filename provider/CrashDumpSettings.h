#pragma once

#include "provider/PerformanceKey.h"
#include "win32/RegistryKey.h"

#include <string>

// An administrator may send the module's crash dumps, and the trace file beside them, to a folder
// of their choosing: the text value "Crash Dump Folder" (REG_SZ, or REG_EXPAND_SZ with environment
// references) under HKLM\SYSTEM\CurrentControlSet\Services\<product>\Performance. Empty when there is
// no such value; only administrators can write the key.
std::wstring ReadCrashDumpFolder(const Halyard::Win32::CRegistryKey &performance);

// Points the crash dump policy at the configured folder, or the default one. Never throws: a
// setting that cannot be read, or a key that is missing, leaves the default folder; a value that
// cannot be read adds one line on the debugger channel.
void ApplyCrashDumpSettings(const CPerformanceKey &performance);
