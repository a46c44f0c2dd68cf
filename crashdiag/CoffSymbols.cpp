#include "crashdiag/CoffSymbols.h"

#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"
#include "win32/StringConverter.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Halyard {
namespace Win32 {

namespace {

// Far beyond any module of this product; a crafted or damaged file cannot make the walk read more.
const DWORD kMaxSymbols = 2000000;
const DWORD kMaxStringTable = 64 * 1024 * 1024;
const BYTE kFunctionType = 0x20;

bool ReadAt(HANDLE file, DWORD position, void *buffer, DWORD size)
{
    LARGE_INTEGER offset;
    offset.QuadPart = position;
    DWORD read = 0;
    return ::SetFilePointerEx(file, offset, nullptr, FILE_BEGIN) && ::ReadFile(file, buffer, size, &read, nullptr) &&
           read == size;
}

std::string Demangle(const std::string &name)
{
    // 32-bit symbols carry one more leading underscore than the language's name.
    const std::string symbol = (sizeof(void *) == 4 && !name.empty() && name[0] == '_') ? name.substr(1) : name;
    int status = 0;
    char *demangled = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
    if (demangled == nullptr)
    {
        return symbol;
    }
    const std::string result(demangled);
    std::free(demangled);
    return result;
}

} // namespace

CCoffSymbols::CCoffSymbols(HMODULE module) : m_base(reinterpret_cast<DWORD64>(module)), m_imageSize(0)
{
    Read(module);
}

void CCoffSymbols::Read(HMODULE module)
{
    const BYTE *image = reinterpret_cast<const BYTE *>(module);
    const IMAGE_DOS_HEADER &dos = *reinterpret_cast<const IMAGE_DOS_HEADER *>(image);
    const IMAGE_NT_HEADERS &nt = *reinterpret_cast<const IMAGE_NT_HEADERS *>(image + dos.e_lfanew);
    m_imageSize = nt.OptionalHeader.SizeOfImage;
    const IMAGE_FILE_HEADER &header = nt.FileHeader;
    if (header.PointerToSymbolTable == 0 || header.NumberOfSymbols == 0 || header.NumberOfSymbols > kMaxSymbols)
    {
        return;
    }
    const IMAGE_SECTION_HEADER *sections = IMAGE_FIRST_SECTION(&nt);
    CSmartHandle file(::CreateFileW(Halyard::Win32::GetModuleFileName(module).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid())
    {
        return;
    }
    std::vector<IMAGE_SYMBOL> symbols(header.NumberOfSymbols);
    const DWORD tableSize = header.NumberOfSymbols * IMAGE_SIZEOF_SYMBOL;
    DWORD stringTableSize = 0;
    if (!ReadAt(file.GetHandle(), header.PointerToSymbolTable, symbols.data(), tableSize) ||
        !ReadAt(file.GetHandle(), header.PointerToSymbolTable + tableSize, &stringTableSize, sizeof(stringTableSize)) ||
        stringTableSize < sizeof(DWORD) || stringTableSize > kMaxStringTable)
    {
        return;
    }
    std::vector<char> strings(stringTableSize + 1, '\0');
    if (!ReadAt(file.GetHandle(), header.PointerToSymbolTable + tableSize, strings.data(), stringTableSize))
    {
        return;
    }
    for (DWORD i = 0; i < header.NumberOfSymbols; i += 1 + symbols[i].NumberOfAuxSymbols)
    {
        const IMAGE_SYMBOL &symbol = symbols[i];
        if (symbol.SectionNumber <= 0 || symbol.SectionNumber > header.NumberOfSections ||
            (symbol.Type & 0xF0) != kFunctionType ||
            (symbol.StorageClass != IMAGE_SYM_CLASS_EXTERNAL && symbol.StorageClass != IMAGE_SYM_CLASS_STATIC))
        {
            continue;
        }
        std::string name;
        if (symbol.N.Name.Short != 0)
        {
            name.assign(reinterpret_cast<const char *>(symbol.N.ShortName),
                        strnlen(reinterpret_cast<const char *>(symbol.N.ShortName), sizeof(symbol.N.ShortName)));
        }
        else if (symbol.N.Name.Long < stringTableSize)
        {
            name = &strings[symbol.N.Name.Long];
        }
        m_symbols.push_back({sections[symbol.SectionNumber - 1].VirtualAddress + symbol.Value, name});
    }
    std::sort(m_symbols.begin(), m_symbols.end(), [](const CSymbol &a, const CSymbol &b) { return a.rva < b.rva; });
}

bool CCoffSymbols::Find(DWORD64 address, std::wstring &name, DWORD64 &offset) const
{
    if (address < m_base || address - m_base >= m_imageSize)
    {
        return false;
    }
    const DWORD rva = static_cast<DWORD>(address - m_base);
    auto after = std::upper_bound(m_symbols.begin(), m_symbols.end(), rva,
                                  [](DWORD value, const CSymbol &symbol) { return value < symbol.rva; });
    if (after == m_symbols.begin())
    {
        return false;
    }
    const CSymbol &symbol = *(after - 1);
    name = CStringConverter::AtoW(Demangle(symbol.name));
    offset = rva - symbol.rva;
    return true;
}

} // namespace Win32
} // namespace Halyard
