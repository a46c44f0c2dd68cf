#pragma once

#include <windows.h>

namespace Halyard {
namespace Win32 {

// Writes the 16-byte MD5 digest of the data to output; outputLength must be 16.
void GetMD5Digest(const BYTE *data, DWORD dataLength, BYTE *output, DWORD outputLength);

} // namespace Win32
} // namespace Halyard
