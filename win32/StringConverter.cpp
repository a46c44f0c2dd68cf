#include "win32/StringConverter.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <algorithm>
#include <cstring>

namespace Halyard {
namespace Win32 {

namespace {

const DWORD kSignedLimit = 0x80000000;

DWORD CheckedLength(size_t length, bool includeTerminator, unsigned long long limit)
{
    const unsigned long long count = static_cast<unsigned long long>(length) + (includeTerminator ? 1 : 0);
    if (count >= limit)
    {
        throw CException(L"GetStringLength()", L"String is too long to fit: " + ToString(count));
    }
    return static_cast<DWORD>(count);
}

int PlatformLength(size_t length)
{
    return static_cast<int>(GetStringLength(length, false));
}

std::wstring ConvertUTF8(const BYTE *input, size_t length)
{
    if (length == 0)
    {
        return std::wstring();
    }
    // UTF-8 never needs more UTF-16 units than it has bytes.
    std::wstring result(length, L'\0');
    const int count = ::MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char *>(input), PlatformLength(length),
                                            &result[0], PlatformLength(result.size()));
    ThrowLastErrorIf(count == 0, L"CStringConverter::UTF8toW()");
    result.resize(static_cast<size_t>(count));
    return result;
}

} // namespace

DWORD GetStringLength(size_t length, bool includeTerminator)
{
    return CheckedLength(length, includeTerminator, kSignedLimit);
}

DWORD GetStringLength(const std::string &text, bool includeTerminator)
{
    return GetStringLength(text.size(), includeTerminator);
}

DWORD GetStringLength(const std::wstring &text, bool includeTerminator)
{
    return GetStringLength(text.size(), includeTerminator);
}

DWORD GetBSTRLength(size_t length, bool includeTerminator)
{
    return CheckedLength(length, includeTerminator, 0x100000000ull);
}

CCodePage::CCodePage(UINT codePage) : m_info()
{
    ::GetCPInfoExW(codePage, 0, &m_info);
}

const CCodePage &CCodePage::Ansi()
{
    static const CCodePage ansi(CP_ACP);
    return ansi;
}

UINT CCodePage::GetCodePage() const
{
    return m_info.CodePage;
}

UINT CCodePage::GetMaxCharSize() const
{
    return m_info.MaxCharSize;
}

const CPINFOEXW &CCodePage::GetInfo() const
{
    return m_info;
}

std::wstring CStringConverter::AtoW(const std::string &input, const CCodePage &codePage)
{
    return AtoW(input.data(), input.size(), codePage);
}

std::wstring CStringConverter::AtoW(const char *input, size_t length, const CCodePage &codePage)
{
    if (length == 0)
    {
        return std::wstring();
    }
    const wchar_t kWhere[] = L"CStringConverter::AtoW()";
    const int inputLength = PlatformLength(length);
    size_t size = length;
    if (codePage.GetMaxCharSize() != 1)
    {
        const int count = ::MultiByteToWideChar(codePage.GetCodePage(), 0, input, inputLength, nullptr, 0);
        if (count == 0)
        {
            throw CWin32Exception(kWhere, ::GetLastError());
        }
        size = static_cast<size_t>(count);
    }
    std::wstring result(size, L'\0');
    if (::MultiByteToWideChar(codePage.GetCodePage(), 0, input, inputLength, &result[0],
                              PlatformLength(result.size())) == 0)
    {
        throw CWin32Exception(kWhere, ::GetLastError());
    }
    return result;
}

std::string CStringConverter::WtoA(const std::wstring &input, const CCodePage &codePage)
{
    return WtoA(input.data(), input.size(), codePage);
}

std::string CStringConverter::WtoA(const wchar_t *input, size_t length, const CCodePage &codePage)
{
    if (length == 0)
    {
        return std::string();
    }
    const wchar_t kWhere[] = L"CStringConverter::WtoA()";
    const int inputLength = PlatformLength(length);
    size_t size = length;
    if (codePage.GetMaxCharSize() != 1)
    {
        const int count =
            ::WideCharToMultiByte(codePage.GetCodePage(), 0, input, inputLength, nullptr, 0, nullptr, nullptr);
        if (count == 0)
        {
            throw CWin32Exception(kWhere, ::GetLastError());
        }
        size = static_cast<size_t>(count);
    }
    std::string result(size, '\0');
    if (::WideCharToMultiByte(codePage.GetCodePage(), 0, input, inputLength, &result[0],
                              PlatformLength(result.size()), nullptr, nullptr) == 0)
    {
        throw CWin32Exception(kWhere, ::GetLastError());
    }
    return result;
}

std::wstring CStringConverter::UTF8toW(const std::string &input)
{
    return ConvertUTF8(reinterpret_cast<const BYTE *>(input.data()), input.size());
}

std::wstring CStringConverter::UTF8toW(const BYTE *input, size_t length)
{
    return ConvertUTF8(input, length);
}

std::wstring CStringConverter::UTF8toW(const BYTE *partial, DWORD partialCount, const BYTE *input, size_t length)
{
    if (length == 0)
    {
        return std::wstring();
    }
    const bool hasPartial = partial != nullptr && partialCount != 0;
    const DWORD fullLength = hasPartial ? GetBytesInUTF8Character(partial[0]) : 0;
    if (partialCount > fullLength)
    {
        throw CException(L"CStringConverter::UTF8toW()", L"Partial character contains too many bytes:  " +
                                                             ToString(partialCount) + L"and character is only: " +
                                                             ToString(fullLength) + L" bytes long");
    }
    const DWORD missing = fullLength - partialCount;
    // A piece too short to complete the character would leave the rest of the input to be read
    // from before its start.
    if (missing > length)
    {
        throw CException(L"CStringConverter::UTF8toW()", L"Input of " + ToString(length) +
                                                             L" bytes does not complete the partial character of " +
                                                             ToString(fullLength) + L" bytes");
    }
    std::wstring result;
    if (hasPartial)
    {
        BYTE character[4];
        std::memcpy(character, partial, partialCount);
        std::memcpy(character + partialCount, input, missing);
        result = ConvertUTF8(character, fullLength);
    }
    return result + ConvertUTF8(input + missing, length - missing);
}

std::string CStringConverter::UTF8toA(const std::string &input, const CCodePage &codePage)
{
    return WtoA(UTF8toW(input), codePage);
}

std::string CStringConverter::UTF8toA(const BYTE *input, size_t length, const CCodePage &codePage)
{
    return WtoA(UTF8toW(input, length), codePage);
}

DWORD CStringConverter::WtoUTF8(const std::wstring &input, BYTE *buffer, DWORD bufferSize)
{
    return WtoUTF8(input.data(), input.size(), buffer, bufferSize);
}

DWORD CStringConverter::WtoUTF8(const wchar_t *input, size_t length, BYTE *buffer, DWORD bufferSize)
{
    if (length == 0)
    {
        return 0;
    }
    const int count = ::WideCharToMultiByte(CP_UTF8, 0, input, PlatformLength(length),
                                            reinterpret_cast<char *>(buffer), PlatformLength(bufferSize), nullptr,
                                            nullptr);
    ThrowLastErrorIf(count == 0, L"CStringConverter::WtoUTF8()");
    return static_cast<DWORD>(count);
}

DWORD CStringConverter::AtoUTF8(const char *input, size_t length, const CCodePage &codePage, BYTE *buffer,
                                DWORD bufferSize)
{
    return WtoUTF8(AtoW(input, length, codePage), buffer, bufferSize);
}

DWORD CStringConverter::GetSpaceRequiredForWtoUTF8(const std::wstring &input)
{
    return GetSpaceRequiredForWtoUTF8(input.data(), input.size());
}

DWORD CStringConverter::GetSpaceRequiredForWtoUTF8(const wchar_t *input, size_t length)
{
    const int count =
        ::WideCharToMultiByte(CP_UTF8, 0, input, PlatformLength(length), nullptr, 0, nullptr, nullptr);
    ThrowLastErrorIf(count == 0, L"CStringConverter::GetSpaceRequiredForWtoUTF8()");
    return static_cast<DWORD>(count);
}

DWORD CStringConverter::GetSpaceRequiredForAtoW(const std::string &input, const CCodePage &codePage)
{
    return GetSpaceRequiredForAtoW(input.data(), input.size(), codePage);
}

DWORD CStringConverter::GetSpaceRequiredForAtoW(const char *input, size_t length, const CCodePage &codePage)
{
    if (codePage.GetMaxCharSize() == 1)
    {
        return GetStringLength(length * sizeof(wchar_t), false);
    }
    const int count = ::MultiByteToWideChar(codePage.GetCodePage(), 0, input, PlatformLength(length), nullptr, 0);
    ThrowLastErrorIf(count == 0, L"CStringConverter::GetSpaceRequiredForAtoW()");
    return GetStringLength(static_cast<size_t>(count) * sizeof(wchar_t), false);
}

DWORD CStringConverter::GetSpaceRequiredForWtoA(const std::wstring &input, const CCodePage &codePage)
{
    return GetSpaceRequiredForWtoA(input.data(), input.size(), codePage);
}

DWORD CStringConverter::GetSpaceRequiredForWtoA(const wchar_t *input, size_t length, const CCodePage &codePage)
{
    if (codePage.GetMaxCharSize() == 1)
    {
        return GetStringLength(length, false);
    }
    const int count = ::WideCharToMultiByte(codePage.GetCodePage(), 0, input, PlatformLength(length), nullptr, 0,
                                            nullptr, nullptr);
    ThrowLastErrorIf(count == 0, L"CStringConverter::GetSpaceRequiredForWtoA()");
    return static_cast<DWORD>(count);
}

DWORD CStringConverter::GetBytesInUTF8Character(BYTE firstByte)
{
    if ((firstByte & 0xF0) == 0xF0)
    {
        return 4;
    }
    if ((firstByte & 0xE0) == 0xE0)
    {
        return 3;
    }
    if ((firstByte & 0xC0) == 0xC0)
    {
        return 2;
    }
    if (firstByte < 0x80)
    {
        return 1;
    }
    throw CException(L"CStringConverter::GetBytesInUTF8Character()",
                     L"Not a start character: " + ToString(firstByte, HexPrefix | HexUpperCase | HexFullWidth));
}

int CStringConverter::GetBytesAfterLastCompleteUTF8Character(const BYTE *input, size_t length)
{
    const wchar_t kWhere[] = L"CStringConverter::GetBytesAfterLastCompleteUTF8Character()";
    if (input == nullptr)
    {
        throw CException(kWhere, L"pInput is null");
    }
    if (length == 0)
    {
        throw CException(kWhere, L"Need at least one byte");
    }
    const size_t scanned = std::min<size_t>(length, 4);
    for (size_t i = 1; i <= scanned; ++i)
    {
        const BYTE byte = input[length - i];
        if ((byte & 0xC0) != 0x80)
        {
            return static_cast<int>(GetBytesInUTF8Character(byte)) - static_cast<int>(i);
        }
    }
    throw CException(L"CStringConverter::GetBytesInUTF8Character()",
                     L"Not a UTF-8 character: " + DumpData(input + length - scanned, scanned, 0));
}

} // namespace Win32
} // namespace Halyard
