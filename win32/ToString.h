#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// Hex format flags shared by every hexadecimal rendering.
enum HexFormat : DWORD
{
    HexNone = 0x000,
    HexUpperCase = 0x001,
    HexPrefix = 0x010,
    HexFullWidth = 0x100
};

// Decimal and general renderings; every number in a message goes through these.
std::string ToStringA(unsigned int value);
std::string ToStringA(int value);
std::string ToStringA(unsigned short value);
std::string ToStringA(short value);
std::string ToStringA(unsigned long value);
std::string ToStringA(long value);
std::string ToStringA(unsigned long long value);
std::string ToStringA(long long value);
std::string ToStringA(float value);
std::string ToStringA(double value);
std::string ToStringA(const void *value);

std::wstring ToStringW(unsigned int value);
std::wstring ToStringW(int value);
std::wstring ToStringW(unsigned short value);
std::wstring ToStringW(short value);
std::wstring ToStringW(unsigned long value);
std::wstring ToStringW(long value);
std::wstring ToStringW(unsigned long long value);
std::wstring ToStringW(long long value);
std::wstring ToStringW(float value);
std::wstring ToStringW(double value);
std::wstring ToStringW(const void *value);

// Hexadecimal renderings chosen by HexFormat flags.
std::string ToStringA(unsigned char value, DWORD hexFormat);
std::string ToStringA(unsigned short value, DWORD hexFormat);
std::string ToStringA(unsigned int value, DWORD hexFormat);
std::string ToStringA(unsigned long value, DWORD hexFormat);
std::string ToStringA(long value, DWORD hexFormat);
std::string ToStringA(unsigned long long value, DWORD hexFormat);
// Signed 64-bit; pointer-sized signed values widen to it with their sign.
std::string ToStringA(long long value, DWORD hexFormat);
// Signed int (the pointer-sized signed type of 32-bit builds), widened with its sign to 64 bits.
std::string ToStringA(int value, DWORD hexFormat);

std::wstring ToStringW(unsigned char value, DWORD hexFormat);
std::wstring ToStringW(unsigned short value, DWORD hexFormat);
std::wstring ToStringW(unsigned int value, DWORD hexFormat);
std::wstring ToStringW(unsigned long value, DWORD hexFormat);
std::wstring ToStringW(long value, DWORD hexFormat);
std::wstring ToStringW(unsigned long long value, DWORD hexFormat);
std::wstring ToStringW(long long value, DWORD hexFormat);
std::wstring ToStringW(int value, DWORD hexFormat);

// The library's text is wide; these are the default spellings.
template <typename T>
std::wstring ToString(T value)
{
    return ToStringW(value);
}

template <typename T>
std::wstring ToString(T value, DWORD hexFormat)
{
    return ToStringW(value, hexFormat);
}

// Two upper-case hexadecimal digits.
std::string ToHexA(unsigned char value);
std::wstring ToHexW(unsigned char value);

// "1"/"0" and "True"/"False".
std::string BoolAsStringA(bool value);
std::wstring BoolAsStringW(bool value);
std::string BoolAsTrueFalseA(bool value);
std::wstring BoolAsTrueFalseW(bool value);

// Two digits per byte, high nibble first, no separators.
std::string ToHexStringA(const void *bytes, size_t length, DWORD hexFormat);
std::wstring ToHexStringW(const void *bytes, size_t length, DWORD hexFormat);

// A hex listing: per line the hex column, " - " and the printable characters.
std::string DumpDataA(const std::string &linePrefix, const BYTE *bytes, size_t length, size_t lineWidth,
                      bool textOnly, bool useCRLF, bool prefixFirstLine, bool keepLastLineEnd);
std::wstring DumpDataW(const std::wstring &linePrefix, const BYTE *bytes, size_t length, size_t lineWidth,
                       bool textOnly, bool useCRLF, bool prefixFirstLine, bool keepLastLineEnd);
std::wstring DumpData(const BYTE *bytes, size_t length, size_t lineWidth, bool useCRLF = false);
std::wstring DumpDataAsText(const BYTE *bytes, size_t length, size_t lineWidth, bool useCRLF = false);

} // namespace Win32
} // namespace Halyard
