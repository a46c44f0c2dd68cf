#include "perfmon/RawImage.h"
#include "tests/install/ImageTestSupport.h"
#include "win32/SEHException.h"

#include <gtest/gtest.h>

#include <random>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfMon::CRawImage;
using Halyard::Win32::CException;

namespace {

const wchar_t *const kEntryPoints[] = {L"PerfData_Open", L"PerfData_Collect", L"PerfData_Close"};

std::wstring Beside(const std::wstring &name)
{
    return ExecutableDirectory() + L"\\" + name;
}

std::wstring Wide(const std::string &text)
{
    return std::wstring(text.begin(), text.end());
}

void ExpectConstructionFails(const std::wstring &path, const std::wstring &message)
{
    try
    {
        CRawImage image(path, true);
        ADD_FAILURE() << "no exception";
    }
    catch (const CException &e)
    {
        EXPECT_EQ(L"CRawImage::CRawImage()", e.GetWhere());
        EXPECT_EQ(message, e.GetMessage());
    }
}

ImageSpec EntryPointImage(WORD machine)
{
    ImageSpec spec;
    spec.machine = machine;
    spec.exports = {"PerfData_Close", "PerfData_Collect", "PerfData_Open"};
    return spec;
}

} // namespace

// The provider module as the build made it: the reader agrees with the loader about every export.
TEST(RawImage, ReadsTheBuiltProviderModule)
{
    const std::wstring path = Beside(L"TARNCounters.dll");
    const CRawImage image(path, true);
    EXPECT_TRUE(image.IsValid());
    EXPECT_TRUE(image.IsDLL());
    EXPECT_TRUE(image.IsX64());
    EXPECT_FALSE(image.IsX86());
    EXPECT_FALSE(image.IsManaged());
    EXPECT_NE(0u, image.GetEntryPointRVA());
    EXPECT_EQ(0x180000000ull + image.GetEntryPointRVA(), image.GetEntryPointAddress(0x180000000ull));

    const HMODULE loaded = ::LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(nullptr, loaded);
    for (const wchar_t *name : kEntryPoints)
    {
        const std::string narrow(name, name + std::wcslen(name));
        const ULONG_PTR expected =
            reinterpret_cast<ULONG_PTR>(::GetProcAddress(loaded, narrow.c_str())) - reinterpret_cast<ULONG_PTR>(loaded);
        EXPECT_EQ(expected, image.GetExportRVA(name)) << narrow;
        EXPECT_EQ(0x10000000ull + expected, image.GetExportAddress(0x10000000ull, name));
        // The name in the file is the address of its text, found through the sections.
        const void *text = image.RvaToPointer(image.GetExportRVA(name));
        EXPECT_NE(nullptr, text);
    }
    ::FreeLibrary(loaded);

    EXPECT_EQ(0u, image.GetExportRVA(L"PerfData_Ope"));
    EXPECT_EQ(0u, image.GetExportRVA(L"PerfData_OpenX"));
    EXPECT_EQ(0u, image.GetExportRVA(L"perfdata_open"));
    EXPECT_EQ(0u, image.GetExportAddress(0x10000000ull, L"Missing"));
    EXPECT_EQ(nullptr, image.RvaToPointer(0xFFFFFFF0u));
    EXPECT_EQ(0u, image.GetDataDirectoryRVA(16));
}

TEST(RawImage, ReadsTheX86BuildOfTheProviderModule)
{
    const std::wstring path = Wide(HALYARD_X86_PROVIDER);
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES)
    {
        GTEST_SKIP() << "no x86 build at " << HALYARD_X86_PROVIDER << " (scripts/test builds it before the tests)";
    }
    const CRawImage image(path, true);
    EXPECT_TRUE(image.IsValid());
    EXPECT_TRUE(image.IsDLL());
    EXPECT_TRUE(image.IsX86());
    EXPECT_FALSE(image.IsX64());
    const ImageLayout layout = ReadLayout(ReadWholeFile(path));
    for (const auto &entry : layout.exports)
    {
        EXPECT_EQ(entry.second, image.GetExportRVA(Wide(entry.first))) << entry.first;
    }
    for (const wchar_t *name : kEntryPoints)
    {
        EXPECT_NE(0u, image.GetExportRVA(name));
    }
}

TEST(RawImage, ExecutableIsNoDLL)
{
    const CRawImage image(Beside(L"install_image_tests.exe"), true);
    EXPECT_TRUE(image.IsValid());
    EXPECT_TRUE(image.IsX64());
    EXPECT_FALSE(image.IsDLL());
}

// Hand-built images: both optional header forms, the runtime header and exact name matching.
TEST(RawImage, ReadsBuiltImagesOfBothWordSizes)
{
    for (const WORD machine : {static_cast<WORD>(IMAGE_FILE_MACHINE_I386), static_cast<WORD>(IMAGE_FILE_MACHINE_AMD64)})
    {
        ImageSpec spec = EntryPointImage(machine);
        spec.managed = true;
        const BuiltImage built = BuildImage(spec);
        const CTestFile file(L"HalyardImage", built.bytes);
        const CRawImage image(file.Path(), true);
        EXPECT_EQ(machine == IMAGE_FILE_MACHINE_I386, image.IsX86());
        EXPECT_EQ(machine == IMAGE_FILE_MACHINE_AMD64, image.IsX64());
        EXPECT_TRUE(image.IsManaged());
        EXPECT_EQ(0x1234u, image.GetEntryPointRVA());
        EXPECT_EQ(kBuiltSectionRva, image.GetDataDirectoryRVA(0));
        EXPECT_EQ(0x3000u, image.GetDataDirectoryRVA(IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR));
        EXPECT_EQ(72u, image.GetDataDirectorySize(IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR));
        EXPECT_EQ(BuiltImage::FunctionRva(2), image.GetExportRVA(L"PerfData_Open"));
        EXPECT_EQ(BuiltImage::FunctionRva(0), image.GetExportRVA(L"PerfData_Close"));
        EXPECT_EQ(0u, image.GetExportRVA(L"PerfData_Clos"));
    }

    const BuiltImage plain = BuildImage(EntryPointImage(IMAGE_FILE_MACHINE_AMD64));
    const CTestFile file(L"HalyardImage", plain.bytes);
    EXPECT_FALSE(CRawImage(file.Path(), true).IsManaged());
}

TEST(RawImage, RvaToPointerMapsThroughTheSectionTable)
{
    BuiltImage built = BuildImage(EntryPointImage(IMAGE_FILE_MACHINE_AMD64));
    const CTestFile file(L"HalyardImage", built.bytes);
    {
        const CRawImage image(file.Path(), true);
        const BYTE *directory = static_cast<const BYTE *>(image.RvaToPointer(kBuiltSectionRva));
        ASSERT_NE(nullptr, directory);
        const BYTE *lastName = static_cast<const BYTE *>(image.RvaToPointer(
            static_cast<DWORD>(kBuiltSectionRva + built.nameOffsets.back() - built.sectionData)));
        EXPECT_EQ(static_cast<ptrdiff_t>(built.nameOffsets.back() - built.sectionData), lastName - directory);
        EXPECT_EQ(0, std::memcmp(lastName, "PerfData_Open", 14));
        EXPECT_EQ(nullptr, image.RvaToPointer(kBuiltSectionRva - 1));
        EXPECT_EQ(nullptr, image.RvaToPointer(static_cast<DWORD>(kBuiltSectionRva + kBuiltImageSize - built.sectionData)));
    }
    // Without a virtual size the section's extent is its raw size.
    Put<DWORD>(built.bytes, built.sectionTable + offsetof(IMAGE_SECTION_HEADER, Misc), 0);
    file.Write(built.bytes);
    const CRawImage image(file.Path(), true);
    EXPECT_NE(nullptr, image.RvaToPointer(kBuiltSectionRva));
    EXPECT_EQ(BuiltImage::FunctionRva(1), image.GetExportRVA(L"PerfData_Collect"));
}

TEST(RawImage, ValidationNamesTheFormatOrTheMachine)
{
    BuiltImage built = BuildImage(EntryPointImage(IMAGE_FILE_MACHINE_AMD64));
    Put<WORD>(built.bytes, built.fileHeader, IMAGE_FILE_MACHINE_ARM64);
    const CTestFile file(L"HalyardImage", built.bytes);
    ExpectConstructionFails(file.Path(), L"Unsupported image file (machine not x86 or x64)");
    EXPECT_FALSE(CRawImage(file.Path(), false).IsValid());

    Put<WORD>(built.bytes, built.fileHeader, IMAGE_FILE_MACHINE_AMD64);
    Put<WORD>(built.bytes, 0, 0x4D5A);
    file.Write(built.bytes);
    ExpectConstructionFails(file.Path(), L"Unexpected image file format");
    {
        const CRawImage unvalidated(file.Path(), false);
        EXPECT_FALSE(unvalidated.IsValid());
        EXPECT_TRUE(unvalidated.IsX64());
    }

    file.Write(std::vector<BYTE>{'M', 'Z'});
    ExpectConstructionFails(file.Path(), L"Unexpected image file format");
    EXPECT_FALSE(CRawImage(file.Path(), false).IsValid());

    file.Write({});
    EXPECT_THROW(CRawImage(file.Path(), false), Win32::CWin32Exception);
}

// Offsets that lead outside the file make the headers invalid or the export absent; none is followed.
TEST(RawImage, OffsetsOutsideTheFileAreNeverFollowed)
{
    const BuiltImage good = BuildImage(EntryPointImage(IMAGE_FILE_MACHINE_AMD64));
    const CTestFile file(L"HalyardImage");
    const auto check = [&](const char *what, void (*damage)(BuiltImage &), bool valid, bool exported) {
        BuiltImage built = good;
        damage(built);
        file.Write(built.bytes);
        const CRawImage image(file.Path(), false);
        EXPECT_EQ(valid, image.IsValid()) << what;
        EXPECT_EQ(exported, image.GetExportRVA(L"PerfData_Open") != 0) << what;
    };
    const Win32::CSEHException::Translator translator;

    check("e_lfanew past the end", [](BuiltImage &b) { Put<LONG>(b.bytes, 0x3C, 0x7FFFFFF0); }, false, false);
    check("e_lfanew negative", [](BuiltImage &b) { Put<LONG>(b.bytes, 0x3C, -4); }, false, false);
    check("file header across the end",
          [](BuiltImage &b) { Put<LONG>(b.bytes, 0x3C, static_cast<LONG>(kBuiltImageSize - 20)); }, false, false);
    check("section table past the end",
          [](BuiltImage &b) { Put<WORD>(b.bytes, b.fileHeader + 2, 0xFFFF); }, false, false);
    check("optional header past the end",
          [](BuiltImage &b) { Put<WORD>(b.bytes, b.fileHeader + 16, 0xFFF0); }, false, false);
    check("optional header too short for its fields",
          [](BuiltImage &b) { Put<WORD>(b.bytes, b.fileHeader + 16, 100); }, false, false);
    check("directory count beyond the optional header", [](BuiltImage &b) {
        Put<DWORD>(b.bytes, b.optionalHeader + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), 0xFFFFFFFF);
    }, true, true);
    check("no export directory entries", [](BuiltImage &b) {
        Put<DWORD>(b.bytes, b.optionalHeader + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), 0);
    }, true, false);
    check("export directory outside every section",
          [](BuiltImage &b) { Put<DWORD>(b.bytes, b.optionalHeader + 112, 0x90000); }, true, false);
    check("section data past the end", [](BuiltImage &b) {
        Put<DWORD>(b.bytes, b.sectionTable + offsetof(IMAGE_SECTION_HEADER, PointerToRawData), 0xFFFFFF00);
    }, true, false);
    check("name table longer than the file",
          [](BuiltImage &b) { Put<DWORD>(b.bytes, b.sectionData + 24, 0x40000000); }, true, false);
    check("address table longer than the file",
          [](BuiltImage &b) { Put<DWORD>(b.bytes, b.sectionData + 20, 0x40000000); }, true, false);
    check("name outside every section",
          [](BuiltImage &b) { Put<DWORD>(b.bytes, b.names + 8, 0x7FFF0000); }, true, false);
    check("ordinal beyond the address table", [](BuiltImage &b) { Put<WORD>(b.bytes, b.ordinals + 4, 3); }, true,
          false);
    check("function address 0", [](BuiltImage &b) { Put<DWORD>(b.bytes, b.functions + 8, 0); }, true, false);

    // The last name ends at the file's last byte: without its null it runs out of the file.
    BuiltImage built = good;
    built.bytes.back() = 'X';
    file.Write(built.bytes);
    const CRawImage image(file.Path(), true);
    EXPECT_EQ(0u, image.GetExportRVA(L"PerfData_Open"));
    EXPECT_EQ(0u, image.GetExportRVA(L"PerfData_OpenX"));
    EXPECT_NE(0u, image.GetExportRVA(L"PerfData_Collect"));
}

// The built module cut short at every length around its headers and export data, and at every
// page: validity and exports follow exactly from what is left of the file.
TEST(RawImage, TruncatedModulesLoseExactlyWhatWasCutOff)
{
    const std::vector<BYTE> original = ReadWholeFile(Beside(L"TARNCounters.dll"));
    const ImageLayout layout = ReadLayout(original);
    std::vector<size_t> lengths;
    for (size_t length = 1; length <= layout.headersEnd + 64; ++length)
    {
        lengths.push_back(length);
    }
    for (size_t length = 4096; length < original.size(); length += 4096)
    {
        lengths.push_back(length);
    }
    const size_t exportStart = layout.exportTablesEnd > 256 ? layout.exportTablesEnd - 256 : 0;
    for (size_t length = exportStart; length < std::min(original.size(), layout.exportTablesEnd + 512); ++length)
    {
        lengths.push_back(length);
    }
    std::sort(lengths.begin(), lengths.end(), std::greater<size_t>());
    lengths.erase(std::unique(lengths.begin(), lengths.end()), lengths.end());

    const CTestFile file(L"HalyardTruncated", original);
    const Win32::CSEHException::Translator translator;
    for (const size_t length : lengths)
    {
        file.Truncate(length);
        try
        {
            const CRawImage image(file.Path(), false);
            ASSERT_EQ(length >= layout.headersEnd, image.IsValid()) << length;
            for (const auto &name : layout.nameEnds)
            {
                const bool whole = length >= std::max({layout.headersEnd, layout.exportTablesEnd, name.second});
                const DWORD expected = whole ? [&] {
                    for (const auto &entry : layout.exports)
                    {
                        if (entry.first == name.first)
                        {
                            return entry.second;
                        }
                    }
                    return DWORD(0);
                }()
                                             : 0;
                ASSERT_EQ(expected, image.GetExportRVA(Wide(name.first))) << name.first << " at " << length;
            }
        }
        catch (const Win32::CSEHException &)
        {
            FAIL() << "fault reading a copy cut at " << length;
        }
    }
}

// Thousands of copies with random bytes in their headers and export data (seeded, so a failure
// can be replayed): the reader never faults, and a found export is one the file really names.
TEST(RawImage, RandomlyDamagedImagesNeverFault)
{
    const CTestFile file(L"HalyardDamaged");
    std::mt19937 random(20240601u);
    const Win32::CSEHException::Translator translator;
    for (const WORD machine : {static_cast<WORD>(IMAGE_FILE_MACHINE_I386), static_cast<WORD>(IMAGE_FILE_MACHINE_AMD64)})
    {
        const BuiltImage good = BuildImage(EntryPointImage(machine));
        for (int round = 0; round < 1500; ++round)
        {
            BuiltImage built = good;
            const int damages = 1 + static_cast<int>(random() % 6);
            for (int d = 0; d < damages; ++d)
            {
                // Headers or export data, a byte or a whole field, with values near the edges.
                const bool header = random() % 2 == 0;
                const size_t span = header ? good.sectionTable + sizeof(IMAGE_SECTION_HEADER)
                                           : kBuiltImageSize - good.sectionData;
                const size_t offset = (header ? 0 : good.sectionData) + random() % (span - 3);
                const DWORD values[] = {static_cast<DWORD>(random()), 0, 0xFFFFFFFF, 0x7FFFFFFF,
                                        static_cast<DWORD>(kBuiltImageSize), kBuiltSectionRva + 0xFF0};
                const DWORD value = values[random() % 6];
                if (random() % 2 == 0)
                {
                    built.bytes[offset] = static_cast<BYTE>(value);
                }
                else
                {
                    Put<DWORD>(built.bytes, offset, value);
                }
            }
            file.Write(built.bytes);
            try
            {
                const CRawImage image(file.Path(), false);
                if (image.IsValid())
                {
                    EXPECT_TRUE(Get<WORD>(built.bytes, 0) == IMAGE_DOS_SIGNATURE && (image.IsX86() || image.IsX64()));
                }
                image.IsDLL();
                image.IsManaged();
                image.GetEntryPointAddress(0x400000);
                for (const wchar_t *name : kEntryPoints)
                {
                    const DWORD rva = image.GetExportRVA(name);
                    if (rva != 0)
                    {
                        // Found only through a name table entry whose text is the whole name.
                        const std::string narrow(name, name + std::wcslen(name));
                        bool named = false;
                        for (size_t at = 0; at + narrow.size() < built.bytes.size(); ++at)
                        {
                            named = named || std::memcmp(&built.bytes[at], narrow.c_str(), narrow.size() + 1) == 0;
                        }
                        EXPECT_TRUE(named) << "round " << round;
                    }
                }
                for (DWORD rva = kBuiltSectionRva - 8; rva < kBuiltSectionRva + 0x1100; rva += 0x80)
                {
                    image.RvaToPointer(rva);
                }
            }
            catch (const Win32::CSEHException &)
            {
                FAIL() << "fault reading damaged image, machine " << machine << " round " << round;
            }
        }
    }
}

// The damage tests rely on the view ending where the file ends: a read past it must fault.
TEST(RawImage, AReadPastAOnePageFileFaults)
{
    const CTestFile file(L"HalyardPage", std::vector<BYTE>(kBuiltImageSize, 0));
    Win32::CMemoryMappedFile view(file.Path(), Win32::CMemoryMappedFile::ReadOnly);
    const volatile BYTE *end = static_cast<const BYTE *>(view.GetBaseAddress()) + view.GetSize();
    const Win32::CSEHException::Translator translator;
    bool faulted = false;
    try
    {
        static_cast<void>(*end);
    }
    catch (const Win32::CSEHException &e)
    {
        faulted = e.GetCode() == EXCEPTION_ACCESS_VIOLATION;
    }
    EXPECT_TRUE(faulted);
}
