#include "win32/ToString.h"

#include "win32/Exception.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cwchar>

namespace Halyard {
namespace Win32 {

namespace {

// Prints into a fixed stack buffer of the rendering's size, narrow or wide.
template <size_t Size, typename... Args>
std::string Print(const char *where, const char *format, Args... args)
{
    char buffer[Size];
    const int result = std::snprintf(buffer, Size, format, args...);
    if (result < 0 || static_cast<size_t>(result) >= Size)
    {
        throw CException(std::wstring(where, where + std::char_traits<char>::length(where)), L"sprintf_s failed");
    }
    return std::string(buffer, static_cast<size_t>(result));
}

template <size_t Size, typename... Args>
std::wstring PrintW(const char *where, const wchar_t *format, Args... args)
{
    wchar_t buffer[Size];
    const int result = std::swprintf(buffer, Size, format, args...);
    if (result < 0 || static_cast<size_t>(result) >= Size)
    {
        throw CException(std::wstring(where, where + std::char_traits<char>::length(where)), L"sprintf_s failed");
    }
    return std::wstring(buffer, static_cast<size_t>(result));
}

// Index into a table of four conversions: [prefix][fullWidth].
size_t HexIndex(DWORD hexFormat)
{
    return ((hexFormat & HexPrefix) ? 2 : 0) + ((hexFormat & HexFullWidth) ? 1 : 0);
}

template <typename Char>
std::basic_string<Char> Widen(const std::string &text)
{
    return std::basic_string<Char>(text.begin(), text.end());
}

template <size_t Size, typename Value>
std::string Hex(const char *const lower[4], const char *const upper[4], Value value, DWORD hexFormat)
{
    const char *const *table = (hexFormat & HexUpperCase) ? upper : lower;
    return Print<Size>("ToString", table[HexIndex(hexFormat)], value);
}

const char *const kHex8[4] = {"%x", "%2.2x", "0x%x", "0x%2.2x"};
const char *const kHex8U[4] = {"%X", "%2.2X", "0x%X", "0x%2.2X"};
const char *const kHex16[4] = {"%hx", "%4.4hx", "0x%hx", "0x%4.4hx"};
const char *const kHex16U[4] = {"%hX", "%4.4hX", "0x%hX", "0x%4.4hX"};
const char *const kHex32[4] = {"%x", "%8.8x", "0x%x", "0x%8.8x"};
const char *const kHex32U[4] = {"%X", "%8.8X", "0x%X", "0x%8.8X"};
const char *const kHexL[4] = {"%lx", "%8.8lx", "0x%lx", "0x%8.8lx"};
const char *const kHexLU[4] = {"%lX", "%8.8lX", "0x%lX", "0x%8.8lX"};
const char *const kHex64[4] = {"%I64x", "%16.16I64x", "0x%I64x", "0x%16.16I64x"};
const char *const kHex64U[4] = {"%I64X", "%16.16I64X", "0x%I64X", "0x%16.16I64X"};

} // namespace

std::string ToStringA(unsigned int value) { return Print<11>("ToString", "%u", value); }
std::string ToStringA(int value) { return Print<12>("ToString", "%i", value); }
std::string ToStringA(unsigned short value) { return Print<6>("ToString", "%hu", value); }
std::string ToStringA(short value) { return Print<7>("ToString", "%hi", value); }
std::string ToStringA(unsigned long value) { return Print<11>("ToString", "%lu", value); }
std::string ToStringA(long value) { return Print<12>("ToString", "%li", value); }
std::string ToStringA(unsigned long long value) { return Print<21>("ToString", "%I64u", value); }
std::string ToStringA(long long value) { return Print<21>("ToString", "%I64i", value); }
std::string ToStringA(float value) { return Print<22>("ToString", "%g", static_cast<double>(value)); }
std::string ToStringA(double value) { return Print<258>("ToString", "%lg", value); }

std::string ToStringA(const void *value)
{
    // Upper-case digits padded to the pointer's width, whatever the C runtime's "%p" does.
    return ToStringA(static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(value)), HexUpperCase | HexFullWidth)
        .substr(sizeof(void *) == 8 ? 0 : 8);
}

std::wstring ToStringW(unsigned int value) { return PrintW<11>("ToString", L"%u", value); }
std::wstring ToStringW(int value) { return PrintW<12>("ToString", L"%i", value); }
std::wstring ToStringW(unsigned short value) { return PrintW<6>("ToString", L"%hu", value); }
std::wstring ToStringW(short value) { return PrintW<7>("ToString", L"%hi", value); }
std::wstring ToStringW(unsigned long value) { return PrintW<11>("ToString", L"%lu", value); }
std::wstring ToStringW(long value) { return PrintW<12>("ToString", L"%li", value); }
std::wstring ToStringW(unsigned long long value) { return PrintW<21>("ToString", L"%I64u", value); }
std::wstring ToStringW(long long value) { return PrintW<21>("ToString", L"%I64i", value); }
std::wstring ToStringW(float value) { return PrintW<22>("ToString", L"%g", static_cast<double>(value)); }
std::wstring ToStringW(double value) { return PrintW<258>("ToString", L"%lg", value); }
std::wstring ToStringW(const void *value) { return Widen<wchar_t>(ToStringA(value)); }

std::string ToStringA(unsigned char value, DWORD hexFormat)
{
    return Hex<5>(kHex8, kHex8U, static_cast<unsigned int>(value), hexFormat);
}

std::string ToStringA(unsigned short value, DWORD hexFormat)
{
    return Hex<7>(kHex16, kHex16U, static_cast<unsigned int>(value), hexFormat);
}

std::string ToStringA(unsigned int value, DWORD hexFormat) { return Hex<11>(kHex32, kHex32U, value, hexFormat); }
std::string ToStringA(unsigned long value, DWORD hexFormat) { return Hex<11>(kHexL, kHexLU, value, hexFormat); }
std::string ToStringA(long value, DWORD hexFormat) { return Hex<11>(kHexL, kHexLU, value, hexFormat); }

std::string ToStringA(unsigned long long value, DWORD hexFormat)
{
    return Hex<19>(kHex64, kHex64U, value, hexFormat);
}

std::string ToStringA(long long value, DWORD hexFormat)
{
    return Hex<19>(kHex64, kHex64U, value, hexFormat);
}

std::string ToStringA(int value, DWORD hexFormat)
{
    return ToStringA(static_cast<long long>(value), hexFormat);
}

std::wstring ToStringW(unsigned char value, DWORD hexFormat) { return Widen<wchar_t>(ToStringA(value, hexFormat)); }
std::wstring ToStringW(unsigned short value, DWORD hexFormat) { return Widen<wchar_t>(ToStringA(value, hexFormat)); }
std::wstring ToStringW(unsigned int value, DWORD hexFormat) { return Widen<wchar_t>(ToStringA(value, hexFormat)); }
std::wstring ToStringW(unsigned long value, DWORD hexFormat) { return Widen<wchar_t>(ToStringA(value, hexFormat)); }
std::wstring ToStringW(long value, DWORD hexFormat) { return Widen<wchar_t>(ToStringA(value, hexFormat)); }

std::wstring ToStringW(unsigned long long value, DWORD hexFormat)
{
    return Widen<wchar_t>(ToStringA(value, hexFormat));
}

std::wstring ToStringW(long long value, DWORD hexFormat) { return Widen<wchar_t>(ToStringA(value, hexFormat)); }
std::wstring ToStringW(int value, DWORD hexFormat) { return Widen<wchar_t>(ToStringA(value, hexFormat)); }

std::string ToHexA(unsigned char value) { return Print<3>("ToHex", "%02X", static_cast<unsigned int>(value)); }
std::wstring ToHexW(unsigned char value) { return Widen<wchar_t>(ToHexA(value)); }

std::string BoolAsStringA(bool value) { return value ? "1" : "0"; }
std::wstring BoolAsStringW(bool value) { return value ? L"1" : L"0"; }
std::string BoolAsTrueFalseA(bool value) { return value ? "True" : "False"; }
std::wstring BoolAsTrueFalseW(bool value) { return value ? L"True" : L"False"; }

std::string ToHexStringA(const void *bytes, size_t length, DWORD hexFormat)
{
    static const char kLower[] = "0123456789abcdef";
    static const char kUpper[] = "0123456789ABCDEF";
    const char *digits = (hexFormat & HexUpperCase) ? kUpper : kLower;
    const bool prefixed = (hexFormat & HexPrefix) != 0;

    std::string result;
    result.reserve((length + (prefixed ? 1 : 0)) * 2);
    if (prefixed)
    {
        result += "0x";
    }
    const BYTE *data = static_cast<const BYTE *>(bytes);
    for (size_t i = 0; i < length; ++i)
    {
        result += digits[data[i] >> 4];
        result += digits[data[i] & 0x0F];
    }
    return result;
}

std::wstring ToHexStringW(const void *bytes, size_t length, DWORD hexFormat)
{
    return Widen<wchar_t>(ToHexStringA(bytes, length, hexFormat));
}

namespace {

template <typename Char>
std::basic_string<Char> Dump(const std::basic_string<Char> &linePrefix, const BYTE *bytes, size_t length,
                             size_t lineWidth, bool textOnly, bool useCRLF, bool prefixFirstLine, bool keepLastLineEnd)
{
    // A width too narrow for one byte still shows one byte per line.
    const size_t bytesPerLine = lineWidth == 0 ? length : std::max<size_t>((lineWidth - 1) / 3, 1);
    const std::string lineEnd = lineWidth == 0 ? "" : (useCRLF ? "\r\n" : "\n");

    std::basic_string<Char> result;
    size_t offset = 0;
    while (offset < length)
    {
        const size_t lineBytes = std::min(bytesPerLine, length - offset);
        if (offset != 0 || prefixFirstLine)
        {
            result += linePrefix;
        }
        std::string line;
        if (!textOnly)
        {
            for (size_t i = 0; i < lineBytes; ++i)
            {
                line += ToHexA(bytes[offset + i]);
                line += ' ';
            }
            if (lineWidth != 0)
            {
                line.append((bytesPerLine - lineBytes) * 3, ' ');
            }
            line += " - ";
        }
        for (size_t i = 0; i < lineBytes; ++i)
        {
            const unsigned char c = bytes[offset + i];
            line += (c < 0x80 && std::isprint(c)) ? static_cast<char>(c) : '.';
        }
        line += lineEnd;
        result += Widen<Char>(line);
        offset += lineBytes;
    }
    if (!keepLastLineEnd && length != 0)
    {
        result.erase(result.size() - lineEnd.size());
    }
    return result;
}

} // namespace

std::string DumpDataA(const std::string &linePrefix, const BYTE *bytes, size_t length, size_t lineWidth,
                      bool textOnly, bool useCRLF, bool prefixFirstLine, bool keepLastLineEnd)
{
    return Dump(linePrefix, bytes, length, lineWidth, textOnly, useCRLF, prefixFirstLine, keepLastLineEnd);
}

std::wstring DumpDataW(const std::wstring &linePrefix, const BYTE *bytes, size_t length, size_t lineWidth,
                       bool textOnly, bool useCRLF, bool prefixFirstLine, bool keepLastLineEnd)
{
    return Dump(linePrefix, bytes, length, lineWidth, textOnly, useCRLF, prefixFirstLine, keepLastLineEnd);
}

std::wstring DumpData(const BYTE *bytes, size_t length, size_t lineWidth, bool useCRLF)
{
    return DumpDataW(L"", bytes, length, lineWidth, false, useCRLF, true, true);
}

std::wstring DumpDataAsText(const BYTE *bytes, size_t length, size_t lineWidth, bool useCRLF)
{
    return DumpDataW(L"", bytes, length, lineWidth, true, useCRLF, true, true);
}

} // namespace Win32
} // namespace Halyard
