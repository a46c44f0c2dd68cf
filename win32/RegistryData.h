#pragma once

// What the registry key and its iterators share inside the library; not part of its interface.

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {
namespace RegistryData {

// A registry call's result, turned into the exception that names where it failed.
void ThrowIfFailed(LONG result, const wchar_t *where);

// A value's data as text: text as it stands (a multi-string's first string), "A number" for a
// number, other data in hex.
std::wstring DataAsString(const BYTE *data, DWORD size, DWORD type);

} // namespace RegistryData
} // namespace Win32
} // namespace Halyard
