#include "perfmon/installer/RawImage.h"
#include "tests/install/ImageTestSupport.h"
#include "tests/support/Expect.h"
#include "win32/SEHException.h"
#include "win32/StringConverter.h"

#include <gtest/gtest.h>

#include <set>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfMon::CRawImage;

namespace {

const wchar_t *const kEntryPoints[] = {L"PerfData_Open", L"PerfData_Collect", L"PerfData_Close"};

void ExpectConstructionFails(const std::wstring &path, const std::wstring &message)
{
    ExpectException([&] { CRawImage image(path, true); }, L"CRawImage::CRawImage()", message);
    EXPECT_FALSE(CRawImage(path, false).IsValid());
}

} // namespace

// Hand-built images: both optional header forms, and addresses mapped through the section table,
// whose extent is the raw size when there is no virtual size.
TEST(RawImage, ReadsBuiltImagesOfBothWordSizes)
{
    const CTempFile file(L"HalyardImage", L".dll");
    for (const WORD machine : {IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64})
    {
        BuiltImage built = BuildImage(machine);
        for (const bool virtualSize : {true, false})
        {
            if (!virtualSize)
            {
                Put<DWORD>(built.bytes, built.sectionTable + offsetof(IMAGE_SECTION_HEADER, Misc), 0);
            }
            WriteBytes(file, built.bytes);
            const CRawImage image(file.Path(), true);
            EXPECT_EQ(machine == IMAGE_FILE_MACHINE_I386, image.IsX86());
            EXPECT_EQ(machine == IMAGE_FILE_MACHINE_AMD64, image.IsX64());
            for (size_t i = 0; i < 3; ++i)
            {
                EXPECT_EQ(BuiltImage::FunctionRva(2 - i), image.GetExportRVA(kEntryPoints[i])) << machine;
            }
            EXPECT_EQ(0u, image.GetExportRVA(L"PerfData_Clos"));
        }
    }
}

TEST(RawImage, ValidationNamesTheFormatOrTheMachine)
{
    BuiltImage built = BuildImage();
    Put<WORD>(built.bytes, built.fileHeader, IMAGE_FILE_MACHINE_ARM64);
    const CTempFile file(L"HalyardImage", L".dll");
    WriteBytes(file, built.bytes);
    ExpectConstructionFails(file.Path(), L"Unsupported image file (machine not x86 or x64)");

    Put<WORD>(built.bytes, built.fileHeader, IMAGE_FILE_MACHINE_AMD64);
    Put<WORD>(built.bytes, 0, 0x4D5A);
    WriteBytes(file, built.bytes);
    ExpectConstructionFails(file.Path(), L"Unexpected image file format");
    EXPECT_TRUE(CRawImage(file.Path(), false).IsX64());

    WriteBytes(file, {'M', 'Z'});
    ExpectConstructionFails(file.Path(), L"Unexpected image file format");

    WriteBytes(file, {});
    EXPECT_THROW(CRawImage(file.Path(), false), Win32::CWin32Exception);
}

// Offsets that lead outside the file make the headers invalid or the export absent; none is
// followed, in either optional header form.
TEST(RawImage, OffsetsOutsideTheFileAreNeverFollowed)
{
    const CTempFile file(L"HalyardImage", L".dll");
    const Win32::CSEHException::Translator translator;
    for (const WORD machine : {IMAGE_FILE_MACHINE_I386, IMAGE_FILE_MACHINE_AMD64})
    {
        const BuiltImage good = BuildImage(machine);
        const size_t lfanew = offsetof(IMAGE_DOS_HEADER, e_lfanew);
        const size_t directories = good.optionalHeader + good.dataDirectory - 4;
        const struct
        {
            const char *what;
            size_t offset;
            DWORD value;
            size_t size;
            bool valid, exported;
        } damages[] = {
            {"e_lfanew past the end", lfanew, 0x7FFFFFF0, 4, false, false},
            {"e_lfanew negative", lfanew, static_cast<DWORD>(-4), 4, false, false},
            {"file header across the end", lfanew, kBuiltImageSize - 20, 4, false, false},
            {"section table past the end", good.fileHeader + 2, 0xFFFF, 2, false, false},
            {"optional header past the end", good.fileHeader + 16, 0xFFF0, 2, false, false},
            {"optional header too short for its fields", good.fileHeader + 16, DWORD(good.dataDirectory - 1), 2,
             false, false},
            {"directory count beyond the optional header", directories, 0xFFFFFFFF, 4, true, true},
            {"no export directory entries", directories, 0, 4, true, false},
            {"export directory outside every section", directories + 4, 0x90000, 4, true, false},
            {"section data past the end", good.sectionTable + 20, 0xFFFFFF00, 4, true, false},
            {"name table longer than the file", good.sectionData + 24, 0x40000000, 4, true, false},
            {"address table longer than the file", good.sectionData + 20, 0x40000000, 4, true, false},
            {"name outside every section", good.names + 8, 0x7FFF0000, 4, true, false},
            {"ordinal far beyond the address table", good.ordinals + 4, 0xFFFF, 2, true, false},
            {"function address 0", good.functions + 8, 0, 4, true, false}};
        for (const auto &damage : damages)
        {
            BuiltImage built = good;
            std::memcpy(&built.bytes.at(damage.offset), &damage.value, damage.size);
            WriteBytes(file, built.bytes);
            const CRawImage image(file.Path(), false);
            EXPECT_EQ(damage.valid, image.IsValid()) << damage.what << ", machine " << machine;
            EXPECT_EQ(damage.exported, image.GetExportRVA(L"PerfData_Open") != 0) << damage.what << ", " << machine;
        }

        // The last name ends at the file's last byte: without its null it runs out of the file.
        BuiltImage built = good;
        built.bytes.back() = 'X';
        WriteBytes(file, built.bytes);
        const CRawImage image(file.Path(), true);
        EXPECT_EQ(0u, image.GetExportRVA(L"PerfData_Open"));
        EXPECT_EQ(0u, image.GetExportRVA(L"PerfData_OpenX"));
        EXPECT_NE(0u, image.GetExportRVA(L"PerfData_Collect"));
    }
}

// The built module cut short at every length around its headers and export data, and at every
// page: validity and exports follow exactly from what is left of the file.
TEST(RawImage, TruncatedModulesLoseExactlyWhatWasCutOff)
{
    const std::vector<BYTE> original = Win32::LoadFileAsBinaryData(Beside(L"TARNCounters.dll"));
    const ImageLayout layout = ReadLayout(original);
    std::set<size_t, std::greater<size_t>> lengths;
    const auto add = [&](size_t from, size_t to, size_t step) {
        for (size_t length = from; length < std::min(to, original.size()); length += step)
        {
            lengths.insert(length);
        }
    };
    add(1, layout.headersEnd + 65, 1);
    add(4096, original.size(), 4096);
    add(layout.exportTablesEnd > 256 ? layout.exportTablesEnd - 256 : 0, layout.exportTablesEnd + 512, 1);

    const CTempFile file(L"HalyardTruncated", L".dll");
    WriteBytes(file, original);
    const Win32::CSEHException::Translator translator;
    for (const size_t length : lengths)
    {
        CutFile(file.Path(), length);
        // A read past the cut faults, and the translator turns that into a failure of the test.
        const CRawImage image(file.Path(), false);
        ASSERT_EQ(length >= layout.headersEnd, image.IsValid()) << length;
        for (const auto &entry : layout.exports)
        {
            const bool whole = length >= std::max({layout.headersEnd, layout.exportTablesEnd, entry.second.nameEnd});
            const std::wstring name = Win32::CStringConverter::AtoW(entry.first);
            ASSERT_EQ(whole ? entry.second.rva : 0, image.GetExportRVA(name)) << entry.first << " at " << length;
        }
    }
}

// A crafted file cannot make a check walk for long: an image of more sections than the system
// loader builds is not valid, and export names after the first 65536 are not looked at.
TEST(RawImage, SectionsAndExportNamesAreWalkedOnlyUpToTheirLimits)
{
    const CTempFile file(L"HalyardBounded", L".dll");
    for (const WORD sections : {WORD(96), WORD(97)})
    {
        // Room for the longer section table; the entries after the first are never reached.
        BuiltImage built = BuildImage();
        built.bytes.resize(2 * kBuiltImageSize);
        Put<WORD>(built.bytes, built.fileHeader + offsetof(IMAGE_FILE_HEADER, NumberOfSections), sections);
        WriteBytes(file, built.bytes);
        const CRawImage image(file.Path(), false);
        EXPECT_EQ(sections <= 96, image.IsValid()) << sections;
        EXPECT_EQ(sections <= 96, image.GetExportRVA(L"PerfData_Open") != 0) << sections;
    }

    const BuiltImage good = BuildImage();
    const DWORD closeName = Get<DWORD>(good.bytes, good.names);
    const DWORD openName = Get<DWORD>(good.bytes, good.names + 8);
    for (const DWORD position : {DWORD(65535), DWORD(65536)})
    {
        // New name and ordinal tables at the end of a longer section: every name but one is
        // "PerfData_Close", and the one at position is "PerfData_Open".
        BuiltImage built = good;
        const DWORD count = position + 1;
        const size_t names = built.bytes.size();
        const size_t ordinals = names + 4 * size_t(count);
        built.bytes.resize(ordinals + 2 * size_t(count));
        for (DWORD j = 0; j < count; ++j)
        {
            Put<DWORD>(built.bytes, names + 4 * j, j == position ? openName : closeName);
            Put<WORD>(built.bytes, ordinals + 2 * j, 2);
        }
        const DWORD extent = static_cast<DWORD>(built.bytes.size() - built.sectionData);
        Put<DWORD>(built.bytes, built.sectionTable + offsetof(IMAGE_SECTION_HEADER, Misc), extent);
        Put<DWORD>(built.bytes, built.sectionTable + offsetof(IMAGE_SECTION_HEADER, SizeOfRawData), extent);
        Put<DWORD>(built.bytes, built.sectionData + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames), count);
        Put<DWORD>(built.bytes, built.sectionData + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNames), built.Rva(names));
        Put<DWORD>(built.bytes, built.sectionData + offsetof(IMAGE_EXPORT_DIRECTORY, AddressOfNameOrdinals),
                   built.Rva(ordinals));
        WriteBytes(file, built.bytes);
        const CRawImage image(file.Path(), true);
        EXPECT_EQ(position < 65536 ? BuiltImage::FunctionRva(2) : 0u, image.GetExportRVA(L"PerfData_Open")) << position;
        EXPECT_EQ(BuiltImage::FunctionRva(2), image.GetExportRVA(L"PerfData_Close")) << position;
    }
}
