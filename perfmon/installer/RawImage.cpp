#include "perfmon/installer/RawImage.h"

#include "win32/Exception.h"
#include "win32/StringConverter.h"

#include <cstddef>
#include <cstring>

using Halyard::Win32::CException;
using Halyard::Win32::CMemoryMappedFile;
using Halyard::Win32::CStringConverter;

namespace Halyard {
namespace PerfMon {

namespace {

const WORD kMachineX86 = IMAGE_FILE_MACHINE_I386;
const WORD kMachineX64 = IMAGE_FILE_MACHINE_AMD64;

// The NT headers: the 4-byte signature, then the file header, then the optional header.
const size_t kFileHeaderOffset = 4;
const size_t kOptionalHeaderOffset = kFileHeaderOffset + sizeof(IMAGE_FILE_HEADER);

// A crafted file may claim 65535 sections and millions of export names, and every name lookup walks
// the sections: the reader refuses more sections than an image the system loader builds holds, and
// walks no more names than 16-bit ordinals can reach, so a check ends in bounded time.
const WORD kMaximumSections = 96;
const DWORD kMaximumExportNames = 65536;

// Where the optional header's fields lie in its two forms; the form follows the machine.
size_t NumberOfRvaAndSizesOffset(WORD machine)
{
    return machine == kMachineX86 ? offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes)
                                  : offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes);
}

size_t DataDirectoryOffset(WORD machine)
{
    return machine == kMachineX86 ? offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)
                                  : offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
}

const size_t kEntryPointOffset = offsetof(IMAGE_OPTIONAL_HEADER32, AddressOfEntryPoint);
static_assert(offsetof(IMAGE_OPTIONAL_HEADER64, AddressOfEntryPoint) == kEntryPointOffset,
              "the entry point lies at the same place in both forms");

// The file's bytes are not aligned for the types laid over them, so fields are copied out.
template <class T>
T Read(const BYTE *at)
{
    T value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

} // namespace

CRawImage::CRawImage(const std::wstring &path, bool validate)
    : m_file(path, CMemoryMappedFile::ReadOnly),
      m_base(static_cast<const BYTE *>(m_file.GetBaseAddress())),
      m_dosHeader(FileBytes(0, sizeof(IMAGE_DOS_HEADER)) != nullptr ? reinterpret_cast<const IMAGE_DOS_HEADER *>(m_base)
                                                                     : nullptr),
      m_ntHeaders(nullptr)
{
    m_ntHeaders = LocateNtHeaders();
    if (!validate)
    {
        return;
    }
    if (m_dosHeader == nullptr || m_dosHeader->e_magic != IMAGE_DOS_SIGNATURE || m_ntHeaders == nullptr)
    {
        throw CException(L"CRawImage::CRawImage()", L"Unexpected image file format");
    }
    if (!IsX86() && !IsX64())
    {
        throw CException(L"CRawImage::CRawImage()", L"Unsupported image file (machine not x86 or x64)");
    }
}

const BYTE *CRawImage::LocateNtHeaders() const
{
    if (m_dosHeader == nullptr || m_dosHeader->e_lfanew < 0)
    {
        return nullptr;
    }
    const ULONGLONG ntOffset = static_cast<ULONGLONG>(m_dosHeader->e_lfanew);
    const BYTE *fileHeaderBytes = FileBytes(ntOffset + kFileHeaderOffset, sizeof(IMAGE_FILE_HEADER));
    if (fileHeaderBytes == nullptr)
    {
        return nullptr;
    }
    const IMAGE_FILE_HEADER fileHeader = Read<IMAGE_FILE_HEADER>(fileHeaderBytes);
    // The optional header must at least hold the fields read from it, up to the data directory.
    if (fileHeader.SizeOfOptionalHeader < DataDirectoryOffset(fileHeader.Machine) ||
        FileBytes(ntOffset + kOptionalHeaderOffset, fileHeader.SizeOfOptionalHeader) == nullptr)
    {
        return nullptr;
    }
    if (fileHeader.NumberOfSections > kMaximumSections)
    {
        return nullptr;
    }
    const ULONGLONG sectionsOffset = ntOffset + kOptionalHeaderOffset + fileHeader.SizeOfOptionalHeader;
    if (FileBytes(sectionsOffset, static_cast<ULONGLONG>(fileHeader.NumberOfSections) * sizeof(IMAGE_SECTION_HEADER)) ==
        nullptr)
    {
        return nullptr;
    }
    return m_base + ntOffset;
}

const BYTE *CRawImage::FileBytes(ULONGLONG offset, ULONGLONG size) const
{
    const ULONGLONG fileSize = m_file.GetSize();
    if (offset > fileSize || size > fileSize - offset)
    {
        return nullptr;
    }
    return m_base + offset;
}

IMAGE_FILE_HEADER CRawImage::GetFileHeader() const
{
    IMAGE_FILE_HEADER fileHeader = {};
    if (m_ntHeaders != nullptr)
    {
        fileHeader = Read<IMAGE_FILE_HEADER>(m_ntHeaders + kFileHeaderOffset);
    }
    return fileHeader;
}

const BYTE *CRawImage::GetOptionalHeader() const
{
    return m_ntHeaders == nullptr ? nullptr : m_ntHeaders + kOptionalHeaderOffset;
}

WORD CRawImage::GetMachine() const
{
    return GetFileHeader().Machine;
}

bool CRawImage::IsValid() const
{
    return m_dosHeader != nullptr && m_dosHeader->e_magic == IMAGE_DOS_SIGNATURE && (IsX86() || IsX64());
}

bool CRawImage::IsDLL() const
{
    return (GetFileHeader().Characteristics & IMAGE_FILE_DLL) != 0;
}

bool CRawImage::IsX86() const
{
    return GetMachine() == kMachineX86;
}

bool CRawImage::IsX64() const
{
    return GetMachine() == kMachineX64;
}

DWORD CRawImage::GetNumberOfRvaAndSizes() const
{
    const BYTE *optionalHeader = GetOptionalHeader();
    return optionalHeader == nullptr ? 0 : Read<DWORD>(optionalHeader + NumberOfRvaAndSizesOffset(GetMachine()));
}

const BYTE *CRawImage::GetDataDirectory(DWORD index) const
{
    if (index >= GetNumberOfRvaAndSizes())
    {
        return nullptr;
    }
    // A count larger than the optional header holds is not followed into the section table.
    const ULONGLONG end = DataDirectoryOffset(GetMachine()) + (static_cast<ULONGLONG>(index) + 1) *
                                                                   sizeof(IMAGE_DATA_DIRECTORY);
    if (end > GetFileHeader().SizeOfOptionalHeader)
    {
        return nullptr;
    }
    return GetOptionalHeader() + DataDirectoryOffset(GetMachine()) + index * sizeof(IMAGE_DATA_DIRECTORY);
}

DWORD CRawImage::GetDataDirectoryRVA(DWORD index) const
{
    const BYTE *entry = GetDataDirectory(index);
    return entry == nullptr ? 0 : Read<DWORD>(entry + offsetof(IMAGE_DATA_DIRECTORY, VirtualAddress));
}

DWORD CRawImage::GetDataDirectorySize(DWORD index) const
{
    const BYTE *entry = GetDataDirectory(index);
    return entry == nullptr ? 0 : Read<DWORD>(entry + offsetof(IMAGE_DATA_DIRECTORY, Size));
}

const void *CRawImage::RvaToPointer(DWORD rva) const
{
    return RvaToPointer(rva, 1);
}

const BYTE *CRawImage::RvaToPointer(DWORD rva, ULONGLONG size) const
{
    if (m_ntHeaders == nullptr)
    {
        return nullptr;
    }
    const IMAGE_FILE_HEADER fileHeader = GetFileHeader();
    const BYTE *sections = GetOptionalHeader() + fileHeader.SizeOfOptionalHeader;
    for (WORD i = 0; i < fileHeader.NumberOfSections; ++i)
    {
        const IMAGE_SECTION_HEADER section = Read<IMAGE_SECTION_HEADER>(sections + i * sizeof(IMAGE_SECTION_HEADER));
        const ULONGLONG extent = section.Misc.VirtualSize != 0 ? section.Misc.VirtualSize : section.SizeOfRawData;
        if (section.VirtualAddress <= rva && rva < section.VirtualAddress + extent)
        {
            return FileBytes(static_cast<ULONGLONG>(rva) - section.VirtualAddress + section.PointerToRawData, size);
        }
    }
    return nullptr;
}

DWORD CRawImage::GetExportRVA(const std::wstring &name) const
{
    const std::string narrowName = CStringConverter::WtoA(name);
    const DWORD directoryRva = GetDataDirectoryRVA(IMAGE_DIRECTORY_ENTRY_EXPORT);
    if (directoryRva == 0)
    {
        return 0;
    }
    const BYTE *directoryBytes = RvaToPointer(directoryRva, sizeof(IMAGE_EXPORT_DIRECTORY));
    if (directoryBytes == nullptr)
    {
        return 0;
    }
    const IMAGE_EXPORT_DIRECTORY directory = Read<IMAGE_EXPORT_DIRECTORY>(directoryBytes);
    const BYTE *functions =
        RvaToPointer(directory.AddressOfFunctions, static_cast<ULONGLONG>(directory.NumberOfFunctions) * sizeof(DWORD));
    const BYTE *names =
        RvaToPointer(directory.AddressOfNames, static_cast<ULONGLONG>(directory.NumberOfNames) * sizeof(DWORD));
    const BYTE *ordinals =
        RvaToPointer(directory.AddressOfNameOrdinals, static_cast<ULONGLONG>(directory.NumberOfNames) * sizeof(WORD));
    if (functions == nullptr || names == nullptr || ordinals == nullptr)
    {
        return 0;
    }
    // The export is the function of lowest index that has a matching name, so one pass over the
    // names finds it without a pass per function.
    DWORD found = directory.NumberOfFunctions;
    const DWORD walked = directory.NumberOfNames < kMaximumExportNames ? directory.NumberOfNames : kMaximumExportNames;
    for (DWORD j = 0; j < walked; ++j)
    {
        const DWORD function = Read<WORD>(ordinals + j * sizeof(WORD));
        if (function >= found || Read<DWORD>(functions + function * sizeof(DWORD)) == 0)
        {
            continue;
        }
        // The name and its terminating null must both lie inside the file.
        const BYTE *exported = RvaToPointer(Read<DWORD>(names + j * sizeof(DWORD)), narrowName.size() + 1);
        if (exported != nullptr && std::memcmp(exported, narrowName.c_str(), narrowName.size() + 1) == 0)
        {
            found = function;
        }
    }
    return found < directory.NumberOfFunctions ? Read<DWORD>(functions + found * sizeof(DWORD)) : 0;
}

ULONGLONG CRawImage::GetExportAddress(ULONGLONG base, const std::wstring &name) const
{
    const DWORD rva = GetExportRVA(name);
    return rva == 0 ? 0 : base + rva;
}

DWORD CRawImage::GetEntryPointRVA() const
{
    const BYTE *optionalHeader = GetOptionalHeader();
    return optionalHeader == nullptr ? 0 : Read<DWORD>(optionalHeader + kEntryPointOffset);
}

ULONGLONG CRawImage::GetEntryPointAddress(ULONGLONG base) const
{
    const DWORD rva = GetEntryPointRVA();
    return rva == 0 ? 0 : base + rva;
}

bool CRawImage::IsManaged() const
{
    return GetNumberOfRvaAndSizes() >= IMAGE_NUMBEROF_DIRECTORY_ENTRIES &&
           (GetDataDirectoryRVA(IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR) != 0 ||
            GetDataDirectorySize(IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR) != 0);
}

} // namespace PerfMon
} // namespace Halyard
