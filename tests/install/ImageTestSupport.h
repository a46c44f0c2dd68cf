#pragma once

// Images for the image reader's tests: files written to the temporary directory, small images
// built byte by byte, and an independent reading of a trusted image's layout.

#include "tests/support/ChildProcess.h"
#include "tests/support/TempFiles.h"
#include "win32/Exception.h"
#include "win32/FileUtils.h"
#include "win32/SmartHandle.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace Halyard {
namespace Testing {

// Cuts the file short at the size.
inline void CutFile(const std::wstring &path, size_t size)
{
    const Win32::CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    ASSERT_TRUE(::SetFilePointerEx(file.GetHandle(), position, nullptr, FILE_BEGIN) && ::SetEndOfFile(file.GetHandle()))
        << "cutting " << std::string(path.begin(), path.end()) << ": error " << ::GetLastError();
}

inline void WriteBytes(const CTempFile &file, const std::vector<BYTE> &bytes)
{
    Win32::SaveStringAsFile(file.Path(), std::string(bytes.begin(), bytes.end()));
}

template <class T>
T Get(const std::vector<BYTE> &bytes, size_t offset)
{
    T value;
    std::memcpy(&value, &bytes.at(offset + sizeof(T) - 1) - (sizeof(T) - 1), sizeof(T));
    return value;
}

template <class T>
void Put(std::vector<BYTE> &bytes, size_t offset, const T &value)
{
    std::memcpy(&bytes.at(offset + sizeof(T) - 1) - (sizeof(T) - 1), &value, sizeof(T));
}

const size_t kBuiltImageSize = 4096;
const DWORD kBuiltSectionRva = 0x2000;

struct BuiltImage
{
    std::vector<BYTE> bytes;
    size_t fileHeader = 0;
    size_t optionalHeader = 0;
    size_t dataDirectory = 0; // within the optional header
    size_t sectionTable = 0;
    size_t sectionData = 0; // the export directory
    size_t functions = 0;
    size_t names = 0;
    size_t ordinals = 0;

    static DWORD FunctionRva(size_t index) { return static_cast<DWORD>(0x1000 + 0x10 * index); }
    // The address of a file offset within the one section.
    DWORD Rva(size_t offset) const { return static_cast<DWORD>(kBuiltSectionRva + offset - sectionData); }
};

// A minimal image built byte by byte: one section holding the export directory, its tables and the
// provider's three entry point names, placed so that the last name's terminating null is the file's
// last byte. The file is one page long, so a read past its end leaves the view.
inline BuiltImage BuildImage(WORD machine = IMAGE_FILE_MACHINE_AMD64)
{
    const std::string exports[] = {"PerfData_Close", "PerfData_Collect", "PerfData_Open"};
    BuiltImage image;
    std::vector<BYTE> &b = image.bytes;
    b.assign(kBuiltImageSize, 0);
    const bool x86 = machine == IMAGE_FILE_MACHINE_I386;
    const WORD optionalSize = x86 ? sizeof(IMAGE_OPTIONAL_HEADER32) : sizeof(IMAGE_OPTIONAL_HEADER64);
    image.dataDirectory =
        x86 ? offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory) : offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    image.fileHeader = 0x84;
    image.optionalHeader = image.fileHeader + sizeof(IMAGE_FILE_HEADER);
    image.sectionTable = image.optionalHeader + optionalSize;

    Put<WORD>(b, 0, IMAGE_DOS_SIGNATURE);
    Put<LONG>(b, offsetof(IMAGE_DOS_HEADER, e_lfanew), 0x80);
    Put<DWORD>(b, 0x80, IMAGE_NT_SIGNATURE);
    Put(b, image.fileHeader, IMAGE_FILE_HEADER{machine, 1, 0, 0, 0, optionalSize,
                                               IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_DLL});
    Put<WORD>(b, image.optionalHeader, x86 ? IMAGE_NT_OPTIONAL_HDR32_MAGIC : IMAGE_NT_OPTIONAL_HDR64_MAGIC);
    Put<DWORD>(b, image.optionalHeader + offsetof(IMAGE_OPTIONAL_HEADER32, AddressOfEntryPoint), 0x1234);
    Put<DWORD>(b, image.optionalHeader + image.dataDirectory - 4, IMAGE_NUMBEROF_DIRECTORY_ENTRIES);

    // The export data: directory, address table, name table, ordinal table, names.
    const DWORD count = 3;
    DWORD dataSize = sizeof(IMAGE_EXPORT_DIRECTORY) + count * (4 + 4 + 2);
    for (const std::string &name : exports)
    {
        dataSize += static_cast<DWORD>(name.size() + 1);
    }
    image.sectionData = kBuiltImageSize - dataSize;
    image.functions = image.sectionData + sizeof(IMAGE_EXPORT_DIRECTORY);
    image.names = image.functions + 4 * count;
    image.ordinals = image.names + 4 * count;

    Put(b, image.sectionTable, IMAGE_SECTION_HEADER{{'.', 'e', 'd', 'a', 't', 'a'}, {dataSize}, kBuiltSectionRva,
                                                    dataSize, static_cast<DWORD>(image.sectionData), 0, 0, 0, 0, 0});
    Put(b, image.optionalHeader + image.dataDirectory, IMAGE_DATA_DIRECTORY{kBuiltSectionRva, dataSize});
    Put(b, image.sectionData, IMAGE_EXPORT_DIRECTORY{0, 0, 0, 0, 0, 0, count, count, image.Rva(image.functions),
                                                     image.Rva(image.names), image.Rva(image.ordinals)});
    size_t name = image.ordinals + 2 * count;
    for (size_t i = 0; i < count; ++i)
    {
        Put<DWORD>(b, image.functions + 4 * i, BuiltImage::FunctionRva(i));
        Put<DWORD>(b, image.names + 4 * i, image.Rva(name));
        Put<WORD>(b, image.ordinals + 2 * i, static_cast<WORD>(i));
        std::memcpy(&b[name], exports[i].c_str(), exports[i].size() + 1);
        name += exports[i].size() + 1;
    }
    return image;
}

// Where the parts of a trusted image lie, read independently of the reader under test.
struct ImageLayout
{
    struct Export
    {
        DWORD rva;
        size_t nameEnd; // the offset after the name's null
    };
    size_t headersEnd = 0;
    size_t exportTablesEnd = 0; // directory and its three tables
    std::map<std::string, Export> exports;
};

inline ImageLayout ReadLayout(const std::vector<BYTE> &b)
{
    ImageLayout layout;
    const size_t nt = static_cast<size_t>(Get<LONG>(b, offsetof(IMAGE_DOS_HEADER, e_lfanew)));
    const IMAGE_FILE_HEADER fileHeader = Get<IMAGE_FILE_HEADER>(b, nt + 4);
    const size_t optional = nt + 4 + sizeof(IMAGE_FILE_HEADER);
    const size_t sections = optional + fileHeader.SizeOfOptionalHeader;
    layout.headersEnd = sections + fileHeader.NumberOfSections * sizeof(IMAGE_SECTION_HEADER);
    const size_t dataDirectory = fileHeader.Machine == IMAGE_FILE_MACHINE_I386
                                     ? offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory)
                                     : offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
    const auto toOffset = [&](DWORD rva) -> size_t {
        for (WORD i = 0; i < fileHeader.NumberOfSections; ++i)
        {
            const IMAGE_SECTION_HEADER s = Get<IMAGE_SECTION_HEADER>(b, sections + i * sizeof(IMAGE_SECTION_HEADER));
            const DWORD extent = s.Misc.VirtualSize != 0 ? s.Misc.VirtualSize : s.SizeOfRawData;
            if (s.VirtualAddress <= rva && rva < s.VirtualAddress + extent)
            {
                return rva - s.VirtualAddress + s.PointerToRawData;
            }
        }
        throw Win32::CException(L"ReadLayout()", L"an address outside every section");
    };
    const size_t directoryOffset = toOffset(Get<DWORD>(b, optional + dataDirectory));
    const IMAGE_EXPORT_DIRECTORY directory = Get<IMAGE_EXPORT_DIRECTORY>(b, directoryOffset);
    const size_t functions = toOffset(directory.AddressOfFunctions);
    const size_t names = toOffset(directory.AddressOfNames);
    const size_t ordinals = toOffset(directory.AddressOfNameOrdinals);
    layout.exportTablesEnd = std::max<size_t>({directoryOffset + sizeof(IMAGE_EXPORT_DIRECTORY),
                                               functions + 4 * size_t(directory.NumberOfFunctions),
                                               names + 4 * size_t(directory.NumberOfNames),
                                               ordinals + 2 * size_t(directory.NumberOfNames)});
    for (DWORD j = 0; j < directory.NumberOfNames; ++j)
    {
        const size_t name = toOffset(Get<DWORD>(b, names + 4 * j));
        const std::string text(reinterpret_cast<const char *>(&b.at(name)));
        layout.exports[text] = {Get<DWORD>(b, functions + 4 * Get<WORD>(b, ordinals + 2 * j)), name + text.size() + 1};
    }
    return layout;
}

} // namespace Testing
} // namespace Halyard
