// Kept apart from the other conversions: a binary that never makes a BSTR does not import oleaut32.
#include "win32/StringConverter.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <cstring>

namespace Halyard {
namespace Win32 {

BSTR CStringConverter::AtoBSTR(const char *input, const CCodePage &codePage)
{
    const std::wstring wide = input == nullptr ? std::wstring() : AtoW(input, std::strlen(input), codePage);
    BSTR result = ::SysAllocStringLen(wide.data(), GetBSTRLength(wide.size(), false));
    if (result == nullptr)
    {
        throw CWin32Exception(L"CStringConverter::AtoBSTR()", ERROR_OUTOFMEMORY);
    }
    return result;
}

BSTR CStringConverter::WtoBSTR(const std::wstring &input)
{
    BSTR result = ::SysAllocStringLen(input.data(), GetBSTRLength(input.size(), false));
    if (result == nullptr)
    {
        throw CWin32Exception(L"CStringConverter::WtoBSTR()", ERROR_OUTOFMEMORY);
    }
    return result;
}

std::string CStringConverter::BSTRtoA(BSTR input, const CCodePage &codePage)
{
    return WtoA(input, ::SysStringLen(input), codePage);
}

std::unique_ptr<char[]> CStringConverter::BSTRtoNewA(BSTR input, const CCodePage &codePage)
{
    const UINT length = ::SysStringLen(input);
    if (length == 0)
    {
        return nullptr;
    }
    if (static_cast<unsigned long long>(length) + 1 > 0x7FFFFFFF)
    {
        throw CException(L"CStringConverter::BSTRtoA(", L"String is too long to fit: " + ToString(length));
    }
    std::unique_ptr<char[]> buffer(new char[length + 1]);
    // One byte per character: a code page that needs more for a character fails here.
    if (::WideCharToMultiByte(codePage.GetCodePage(), 0, input, static_cast<int>(length), buffer.get(),
                              static_cast<int>(length + 1), nullptr, nullptr) == 0)
    {
        throw CWin32Exception(L"CStringConverter::BSTRtoA()", ::GetLastError());
    }
    buffer[length] = '\0';
    return buffer;
}

std::wstring CStringConverter::BSTRtoW(BSTR input)
{
    if (::SysStringLen(input) == 0)
    {
        return std::wstring();
    }
    return std::wstring(input);
}

} // namespace Win32
} // namespace Halyard
