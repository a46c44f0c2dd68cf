#include "tests/support/ChildProcess.h"
#include "win32/FileUtils.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

using namespace Halyard::Testing;

namespace {

// The module file as built, which is the file that ships: its headers read as plain bytes.
class ProviderImage : public ::testing::Test
{
protected:
    ProviderImage()
    {
        m_bytes = Halyard::Win32::LoadFileAsBinaryData(Beside(L"TARNCounters.dll"));
        IMAGE_DOS_HEADER dos = {};
        Read(0, dos);
        Read(static_cast<size_t>(dos.e_lfanew) + sizeof(DWORD), m_file);
        m_optionalHeader = static_cast<size_t>(dos.e_lfanew) + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
        m_sections.resize(m_file.NumberOfSections);
        for (size_t i = 0; i < m_sections.size(); ++i)
        {
            Read(m_optionalHeader + m_file.SizeOfOptionalHeader + i * sizeof(IMAGE_SECTION_HEADER), m_sections[i]);
        }
    }

    template <typename T>
    void Read(size_t offset, T &value) const
    {
        ASSERT_LE(offset + sizeof(T), m_bytes.size());
        std::memcpy(&value, m_bytes.data() + offset, sizeof(T));
    }

    // The null-terminated text at offset, read no further than limit bytes.
    std::string Text(size_t offset, size_t limit) const
    {
        const char *text = reinterpret_cast<const char *>(m_bytes.data()) + offset;
        return std::string(text, strnlen(text, limit));
    }

    static DWORD PageSize()
    {
        SYSTEM_INFO info;
        ::GetSystemInfo(&info);
        return info.dwPageSize;
    }

    std::vector<BYTE> m_bytes;
    IMAGE_FILE_HEADER m_file = {};
    size_t m_optionalHeader = 0;
    std::vector<IMAGE_SECTION_HEADER> m_sections;
};

// A loader can map a section straight from the file only where it starts on a page there; any
// other section is copied into fresh memory on every load, and the host loads the module per query.
TEST_F(ProviderImage, EverySectionStartsOnAPageOfTheFile)
{
    // FileAlignment lies at the same place in the 32-bit and the 64-bit optional header.
    DWORD fileAlignment = 0;
    Read(m_optionalHeader + offsetof(IMAGE_OPTIONAL_HEADER32, FileAlignment), fileAlignment);
    EXPECT_EQ(0u, fileAlignment % PageSize()) << "FileAlignment " << fileAlignment;
    ASSERT_FALSE(m_sections.empty());
    for (const IMAGE_SECTION_HEADER &section : m_sections)
    {
        const std::string name(reinterpret_cast<const char *>(section.Name),
                               strnlen(reinterpret_cast<const char *>(section.Name), IMAGE_SIZEOF_SHORT_NAME));
        if (section.SizeOfRawData != 0)
        {
            EXPECT_EQ(0u, section.PointerToRawData % PageSize()) << name;
        }
    }
}

// Stripping debug information must leave the symbol table, from which a translated fault's call
// stack names the module's functions, and the link to the separate debug file.
TEST_F(ProviderImage, KeepsItsSymbolTableAndDebugLink)
{
    EXPECT_NE(0u, m_file.PointerToSymbolTable);
    EXPECT_GT(m_file.NumberOfSymbols, 0u);

    // The section's name is longer than eight characters, so the header holds "/<offset>" into the
    // string table, which follows the symbol table.
    bool found = false;
    const size_t strings = m_file.PointerToSymbolTable + static_cast<size_t>(m_file.NumberOfSymbols) * 18;
    for (const IMAGE_SECTION_HEADER &section : m_sections)
    {
        if (section.Name[0] != '/')
        {
            continue;
        }
        const size_t offset = strings + std::stoul(std::string(reinterpret_cast<const char *>(section.Name) + 1,
                                                               IMAGE_SIZEOF_SHORT_NAME - 1));
        ASSERT_LT(offset, m_bytes.size());
        if (Text(offset, m_bytes.size() - offset) == ".gnu_debuglink")
        {
            ASSERT_LE(section.PointerToRawData + section.SizeOfRawData, m_bytes.size());
            EXPECT_EQ("TARNCounters.dll.debug", Text(section.PointerToRawData, section.SizeOfRawData));
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

} // namespace
