#include "TestUtilities.h"

#include "win32/Exception.h"
#include "win32/MemoryMappedFile.h"
#include "win32/SharedMemory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace Halyard::Win32;
using SyncTest::Thrown;
using SyncTest::UniqueName;

namespace {

// A section made without CSharedMemory, so that a test controls when its size word is written.
class RawSection
{
public:
    RawSection(const std::wstring &name, DWORD sectionSize)
        : m_mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sectionSize, name.c_str())),
          m_view(m_mapping.IsValid() ? ::MapViewOfFile(m_mapping.GetHandle(), FILE_MAP_WRITE, 0, 0, 0) : nullptr)
    {
    }

    bool IsValid() const { return m_view.IsValid(); }
    volatile DWORD *SizeWord() const { return static_cast<volatile DWORD *>(m_view.Get()); }
    BYTE *UserArea() const { return static_cast<BYTE *>(m_view.Get()) + sizeof(DWORD); }

private:
    CSmartHandle m_mapping;
    CMappedView m_view;
};

DWORD ErrorOf(const std::wstring &name, DWORD size, std::wstring *where = nullptr)
{
    try
    {
        CSharedMemory memory(CUnqualifiedName(name), size, CSharedMemory::ReadWrite, true, nullptr);
        return ERROR_SUCCESS;
    }
    catch (const CWin32Exception &e)
    {
        if (where != nullptr)
        {
            *where = e.GetWhere();
        }
        return e.GetError();
    }
}

} // namespace

TEST(SharedMemory, ZeroUserSizeMakesASectionHoldingOnlyTheSizeWord)
{
    const std::wstring name = UniqueName(L"Zero");
    CSharedMemory memory(CUnqualifiedName(name), 0, CSharedMemory::ReadWrite, false, nullptr);
    EXPECT_EQ(0u, memory.GetSize());

    CSharedMemory opened(CUnqualifiedName(name), CSharedMemory::ReadOnly);
    EXPECT_EQ(0u, opened.GetSize());
    EXPECT_EQ(0u, *(static_cast<const DWORD *>(opened.GetMemory()) - 1));
}

TEST(SharedMemory, ExistingSectionOfTheSameSizeIsOpenedWithItsContent)
{
    const CUnqualifiedName name(UniqueName(L"Same"));
    CSharedMemory first(name, 64, CSharedMemory::ReadWrite, true, nullptr);
    std::memcpy(first.GetMemory(), "counter values", 15);

    CSharedMemory second(name, 64, CSharedMemory::ReadWrite, true, nullptr);
    EXPECT_EQ(64u, second.GetSize());
    EXPECT_STREQ("counter values", static_cast<const char *>(second.GetMemory()));

    {
        const CWin32Exception e = Thrown<CWin32Exception>([&] {
            CSharedMemory refused(name, 64, CSharedMemory::ReadWrite, false, nullptr);
        });
        EXPECT_EQ(L"CSharedMemory::CSharedMemory() - CreateFileMapping", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), e.GetError());
    }
}

TEST(SharedMemory, ReadOnlyViewSeesWritesThroughAnotherView)
{
    const CUnqualifiedName name(UniqueName(L"ReadOnly"));
    CSharedMemory writer(name, 16, CSharedMemory::ReadWrite, false, nullptr);
    const CSharedMemory reader(name, CSharedMemory::ReadOnly);
    EXPECT_EQ(16u, reader.GetSize());

    MEMORY_BASIC_INFORMATION info = {};
    ASSERT_EQ(sizeof(info), ::VirtualQuery(reader.GetMemory(), &info, sizeof(info)));
    EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), info.Protect);

    static_cast<DWORD *>(writer.GetMemory())[1] = 0xC0FFEE;
    EXPECT_EQ(0xC0FFEEu, static_cast<const DWORD *>(reader.GetMemory())[1]);
}

TEST(SharedMemory, BadArgumentsAndMissingSectionsFail)
{
    {
        const CException e = Thrown<CException>([&] {
            CSharedMemory tooBig(CUnqualifiedName(UniqueName(L"Big")), 0xFFFFFFFF, CSharedMemory::ReadWrite, true,
                                 nullptr);
        });
        EXPECT_EQ(L"CSharedMemory::CalculateSize()", e.GetWhere());
        EXPECT_EQ(L"Size is too big: 4294967295 max is:4294967291", e.GetMessage());
    }

    {
        const CException e = Thrown<CException>([&] {
            CSharedMemory badMode(CUnqualifiedName(UniqueName(L"Mode")), 8, static_cast<CSharedMemory::AccessMode>(2),
                                  true, nullptr);
        });
        EXPECT_EQ(L"CSharedMemory::GetProtection()", e.GetWhere());
        EXPECT_EQ(L"Unexpected protection flag: 2", e.GetMessage());
    }

    {
        const CWin32Exception e = Thrown<CWin32Exception>([&] {
            CSharedMemory missing(CUnqualifiedName(UniqueName(L"Missing")), CSharedMemory::ReadWrite);
        });
        EXPECT_EQ(L"CSharedMemory::CSharedMemory()", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
    }
}

// The creator writes the size word after it has made the section; an opener in between must wait for
// it rather than report a mismatch.
TEST(SharedMemory, OpenerWaitsForTheCreatorToWriteTheSizeWord)
{
    const std::wstring name = UniqueName(L"Late");
    RawSection raw(name, 128 + sizeof(DWORD));
    ASSERT_TRUE(raw.IsValid());
    raw.UserArea()[0] = 0x5A;

    std::thread creator([&raw] {
        ::Sleep(200);
        *raw.SizeWord() = 128;
    });
    DWORD error = ERROR_SUCCESS;
    DWORD size = 0;
    BYTE first = 0;
    try
    {
        CSharedMemory memory(CUnqualifiedName(name), 128, CSharedMemory::ReadWrite, true, nullptr);
        size = memory.GetSize();
        first = static_cast<const BYTE *>(memory.GetMemory())[0];
    }
    catch (const CWin32Exception &e)
    {
        error = e.GetError();
    }
    creator.join();
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), error);
    EXPECT_EQ(128u, size);
    EXPECT_EQ(0x5A, first);
}

TEST(SharedMemory, SizeWordThatStaysZeroIsAMismatchAfterABoundedWait)
{
    const std::wstring name = UniqueName(L"NeverWritten");
    RawSection raw(name, 128 + sizeof(DWORD));
    ASSERT_TRUE(raw.IsValid());
    std::wstring where;
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), ErrorOf(name, 128, &where));
    EXPECT_EQ(L"CSharedMemory::CSharedMemory() - Already exists and not the same size", where);
    EXPECT_EQ(0u, *raw.SizeWord());
}

// Any account can write the size word; a section smaller than it claims is never handed out.
TEST(SharedMemory, SectionSmallerThanItsSizeWordIsRefused)
{
    const std::wstring name = UniqueName(L"Small");
    RawSection raw(name, 4096);
    ASSERT_TRUE(raw.IsValid());
    *raw.SizeWord() = 100000;

    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), ErrorOf(name, 100000));
    {
        const CWin32Exception e = Thrown<CWin32Exception>([&] {
            CSharedMemory opened(CUnqualifiedName(name), CSharedMemory::ReadOnly);
        });
        EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), e.GetError());
    }

    *raw.SizeWord() = 4092;
    CSharedMemory fits(CUnqualifiedName(name), CSharedMemory::ReadOnly);
    EXPECT_EQ(4092u, fits.GetSize());
}

namespace {

class MemoryMappedFileTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        wchar_t folder[MAX_PATH] = {};
        ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, folder));
        m_path = folder + UniqueName(L"File") + L".bin";
        const CSmartHandle file(::CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.IsValid());
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.GetHandle(), kContent, sizeof(kContent), &written, nullptr));
    }

    void TearDown() override { ::DeleteFileW(m_path.c_str()); }

    static constexpr char kContent[] = "MZ provider image bytes";
    std::wstring m_path;
};

constexpr char MemoryMappedFileTest::kContent[];

} // namespace

TEST_F(MemoryMappedFileTest, MapsTheWholeFileAndReportsItsSize)
{
    const CMemoryMappedFile mapped(m_path, CMemoryMappedFile::ReadOnly);
    ASSERT_EQ(sizeof(kContent), mapped.GetSize());
    EXPECT_EQ(0, std::memcmp(kContent, mapped.GetBaseAddress(), sizeof(kContent)));
}

TEST_F(MemoryMappedFileTest, ReadWriteViewChangesTheFile)
{
    {
        CMemoryMappedFile mapped(m_path, CMemoryMappedFile::ReadWrite);
        static_cast<char *>(mapped.GetBaseAddress())[0] = 'P';
    }
    const CMemoryMappedFile reread(m_path, CMemoryMappedFile::ReadOnly);
    EXPECT_EQ('P', static_cast<const char *>(reread.GetBaseAddress())[0]);
}

TEST_F(MemoryMappedFileTest, MappingFromAHandleLeavesTheHandleWithTheCaller)
{
    const CSmartHandle file(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.IsValid());
    {
        const CMemoryMappedFile mapped(file.GetHandle(), CMemoryMappedFile::ReadOnly);
        EXPECT_EQ(sizeof(kContent), mapped.GetSize());
    }
    char first = 0;
    DWORD read = 0;
    ASSERT_TRUE(::ReadFile(file.GetHandle(), &first, 1, &read, nullptr));
    EXPECT_EQ('M', first);
}

TEST_F(MemoryMappedFileTest, MissingFilesAndBadModesFail)
{
    const std::wstring missing = m_path + L".missing";
    {
        const CWin32Exception e = Thrown<CWin32Exception>([&] {
            CMemoryMappedFile mapped(missing, CMemoryMappedFile::ReadOnly);
        });
        EXPECT_EQ(L"CMemoryMappedFile::OpenFile() -\"" + missing + L"\"", e.GetWhere());
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), e.GetError());
    }

    const auto badMode = static_cast<CMemoryMappedFile::AccessMode>(2);
    {
        const CException e = Thrown<CException>([&] { CMemoryMappedFile mapped(m_path, badMode); });
        EXPECT_EQ(L"CMemoryMappedFile::OpenFile()", e.GetWhere());
        EXPECT_EQ(L"Unexpected access mode: 2", e.GetMessage());
    }
    const CSmartHandle file(::CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    {
        const CException e = Thrown<CException>([&] { CMemoryMappedFile mapped(file.GetHandle(), badMode); });
        EXPECT_EQ(L"CMemoryMappedFile::GetPageMode()", e.GetWhere());
        EXPECT_EQ(L"Unexpected access mode: 2", e.GetMessage());
    }
}
