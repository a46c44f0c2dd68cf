#pragma once

#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <string>

namespace Halyard {
namespace Win32 {

// A string's length in characters as the platform's conversion and BSTR functions take it
// (signed 32-bit), plus 1 with includeTerminator; throws when it does not fit.
DWORD GetStringLength(size_t length, bool includeTerminator);
DWORD GetStringLength(const std::string &text, bool includeTerminator);
DWORD GetStringLength(const std::wstring &text, bool includeTerminator);

// As above for the count handed to SysAllocStringLen, which takes an unsigned 32-bit length.
DWORD GetBSTRLength(size_t length, bool includeTerminator);

// The platform's description of one code page.
class CCodePage
{
public:
    explicit CCodePage(UINT codePage);

    // The system's ANSI code page, the default of every conversion that takes a code page.
    static const CCodePage &Ansi();

    UINT GetCodePage() const;
    // 1 for a single-byte code page: one narrow byte per character.
    UINT GetMaxCharSize() const;
    const CPINFOEXW &GetInfo() const;

private:
    CPINFOEXW m_info;
};

// Conversions between narrow (code page), wide (UTF-16), UTF-8 and BSTR text. A failed
// conversion throws and leaves no partial result.
class CStringConverter
{
public:
    CStringConverter() = delete;

    static std::wstring AtoW(const std::string &input, const CCodePage &codePage = CCodePage::Ansi());
    static std::wstring AtoW(const char *input, size_t length, const CCodePage &codePage = CCodePage::Ansi());

    static std::string WtoA(const std::wstring &input, const CCodePage &codePage = CCodePage::Ansi());
    static std::string WtoA(const wchar_t *input, size_t length, const CCodePage &codePage = CCodePage::Ansi());

    static std::wstring UTF8toW(const std::string &input);
    static std::wstring UTF8toW(const BYTE *input, size_t length);
    // For UTF-8 that arrives in pieces: partial holds the bytes of a character that the previous
    // piece ended inside; the piece that follows must complete it.
    static std::wstring UTF8toW(const BYTE *partial, DWORD partialCount, const BYTE *input, size_t length);

    static std::string UTF8toA(const std::string &input, const CCodePage &codePage = CCodePage::Ansi());
    static std::string UTF8toA(const BYTE *input, size_t length, const CCodePage &codePage = CCodePage::Ansi());

    // Write UTF-8 into the buffer and return the bytes written.
    static DWORD WtoUTF8(const std::wstring &input, BYTE *buffer, DWORD bufferSize);
    static DWORD WtoUTF8(const wchar_t *input, size_t length, BYTE *buffer, DWORD bufferSize);
    static DWORD AtoUTF8(const char *input, size_t length, const CCodePage &codePage, BYTE *buffer,
                         DWORD bufferSize);

    // Bytes of UTF-8 that WtoUTF8 writes for the input.
    static DWORD GetSpaceRequiredForWtoUTF8(const std::wstring &input);
    static DWORD GetSpaceRequiredForWtoUTF8(const wchar_t *input, size_t length);

    // Bytes of UTF-16 that AtoW produces for the input.
    static DWORD GetSpaceRequiredForAtoW(const std::string &input, const CCodePage &codePage = CCodePage::Ansi());
    static DWORD GetSpaceRequiredForAtoW(const char *input, size_t length,
                                         const CCodePage &codePage = CCodePage::Ansi());

    // Bytes of narrow text that WtoA produces for the input.
    static DWORD GetSpaceRequiredForWtoA(const std::wstring &input, const CCodePage &codePage = CCodePage::Ansi());
    static DWORD GetSpaceRequiredForWtoA(const wchar_t *input, size_t length,
                                         const CCodePage &codePage = CCodePage::Ansi());

    static std::string BSTRtoA(BSTR input, const CCodePage &codePage = CCodePage::Ansi());
    // Into a new NUL-terminated buffer, one narrow byte per character; null for an empty BSTR.
    static std::unique_ptr<char[]> BSTRtoNewA(BSTR input, const CCodePage &codePage = CCodePage::Ansi());
    // The characters up to the first NUL.
    static std::wstring BSTRtoW(BSTR input);

    // New BSTRs, which the caller frees with SysFreeString. A null input gives an empty BSTR.
    static BSTR AtoBSTR(const char *input, const CCodePage &codePage = CCodePage::Ansi());
    static BSTR WtoBSTR(const std::wstring &input);

    // The length (1 to 4) of the UTF-8 character that starts with this byte.
    static DWORD GetBytesInUTF8Character(BYTE firstByte);
    // 0 when the text ends on a complete character; otherwise the bytes still missing from the
    // last one, or, negative, how many more continuation bytes follow its start than it announces.
    static int GetBytesAfterLastCompleteUTF8Character(const BYTE *input, size_t length);
};

} // namespace Win32
} // namespace Halyard
