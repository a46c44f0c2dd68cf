// Text helpers of the file utilities: trimming, case and simple conversions.
#include "win32/FileUtils.h"

#include "win32/Exception.h"
#include "win32/ToString.h"

#include <algorithm>
#include <cctype>
#include <cwctype>

namespace Halyard {
namespace Win32 {

namespace {

bool IsWhitespace(wchar_t c)
{
    return std::iswspace(static_cast<wint_t>(c)) != 0;
}

bool IsWhitespace(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

template <typename String>
String TrimWhitespaceOf(const String &text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsWhitespace(text[begin]))
    {
        ++begin;
    }
    while (end > begin && IsWhitespace(text[end - 1]))
    {
        --end;
    }
    return text.substr(begin, end - begin);
}

template <typename String>
String RemoveWhitespaceOf(String text)
{
    text.erase(std::remove_if(text.begin(), text.end(), [](typename String::value_type c) { return IsWhitespace(c); }),
               text.end());
    return text;
}

template <typename String>
String TrimLeftOf(const String &text, typename String::value_type character)
{
    const size_t begin = text.find_first_not_of(character);
    return begin == String::npos ? String() : text.substr(begin);
}

template <typename String>
String TrimRightOf(const String &text, typename String::value_type character)
{
    const size_t end = text.find_last_not_of(character);
    return end == String::npos ? String() : text.substr(0, end + 1);
}

// Compares over the text's own length, so any leading part of the word matches.
bool IsLeadingPartOf(const std::wstring &text, const wchar_t *word)
{
    return text.length() <= std::wcslen(word) && ::_wcsnicmp(text.c_str(), word, text.length()) == 0;
}

} // namespace

bool StringToBool(const std::wstring &text)
{
    if (text == L"1")
    {
        return true;
    }
    if (text == L"0")
    {
        return false;
    }
    if (IsLeadingPartOf(text, L"TRUE"))
    {
        return true;
    }
    if (IsLeadingPartOf(text, L"FALSE"))
    {
        return false;
    }
    throw CException(L"StringToBool()", L"Can't convert: \"" + text + L"\" to a bool value");
}

long GetLongFromString(const std::wstring &text, size_t offset, size_t length)
{
    if (offset > text.size() || length > text.size() - offset)
    {
        throw CException(L"GetLongFromString()", L"Invalid offset (" + ToString(offset) + L") or length (" +
                                                     ToString(length) + L") string is only " +
                                                     ToString(text.size()) + L" long");
    }
    return std::wcstol(text.substr(offset, length).c_str(), nullptr, 10);
}

std::wstring TrimWhitespace(const std::wstring &text)
{
    return TrimWhitespaceOf(text);
}

std::string TrimWhitespace(const std::string &text)
{
    return TrimWhitespaceOf(text);
}

std::wstring TrimLeft(const std::wstring &text, wchar_t character)
{
    return TrimLeftOf(text, character);
}

std::string TrimLeft(const std::string &text, char character)
{
    return TrimLeftOf(text, character);
}

std::wstring TrimRight(const std::wstring &text, wchar_t character)
{
    return TrimRightOf(text, character);
}

std::string TrimRight(const std::string &text, char character)
{
    return TrimRightOf(text, character);
}

std::wstring RemoveWhitespace(const std::wstring &text)
{
    return RemoveWhitespaceOf(text);
}

std::string RemoveWhitespace(const std::string &text)
{
    return RemoveWhitespaceOf(text);
}

std::wstring ToUpper(const std::wstring &text)
{
    std::wstring result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c))); });
    return result;
}

std::string ToUpper(const std::string &text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); });
    return result;
}

std::wstring ToLower(const std::wstring &text)
{
    std::wstring result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))); });
    return result;
}

std::string ToLower(const std::string &text)
{
    std::string result(text);
    std::transform(result.begin(), result.end(), result.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return result;
}

} // namespace Win32
} // namespace Halyard
