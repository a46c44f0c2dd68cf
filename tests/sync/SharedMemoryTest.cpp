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

CSharedMemory OpenSized(const std::wstring &name, DWORD size)
{
    return CSharedMemory(CUnqualifiedName(name), size, CSharedMemory::ReadWrite, true, nullptr);
}

} // namespace

TEST(SharedMemory, OpenersShareTheCreatorsSection)
{
    const CUnqualifiedName name(UniqueName(L"SyncSame"));
    CSharedMemory first(name, 64, CSharedMemory::ReadWrite, true, nullptr);
    std::memcpy(first.GetMemory(), "counter values", 15);
    CSharedMemory second(name, 64, CSharedMemory::ReadWrite, true, nullptr);
    EXPECT_EQ(64u, second.GetSize());
    EXPECT_STREQ("counter values", static_cast<const char *>(second.GetMemory()));

    const CWin32Exception e = Thrown<CWin32Exception>(
        [&] { CSharedMemory refused(name, 64, CSharedMemory::ReadWrite, false, nullptr); });
    EXPECT_EQ(L"CSharedMemory::CSharedMemory() - CreateFileMapping", e.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), e.GetError());

    const CSharedMemory reader(name, CSharedMemory::ReadOnly);
    EXPECT_EQ(64u, reader.GetSize());
    MEMORY_BASIC_INFORMATION info = {};
    ASSERT_EQ(sizeof(info), ::VirtualQuery(reader.GetMemory(), &info, sizeof(info)));
    EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), info.Protect);
    static_cast<DWORD *>(second.GetMemory())[1] = 0xC0FFEE;
    EXPECT_EQ(0xC0FFEEu, static_cast<const DWORD *>(reader.GetMemory())[1]);

    // A zero user size makes a section holding only the size word.
    const CUnqualifiedName empty(UniqueName(L"SyncZero"));
    CSharedMemory zero(empty, 0, CSharedMemory::ReadWrite, false, nullptr);
    EXPECT_EQ(0u, zero.GetSize());
    const CSharedMemory zeroOpened(empty, CSharedMemory::ReadOnly);
    EXPECT_EQ(0u, zeroOpened.GetSize());
    EXPECT_EQ(0u, *(static_cast<const DWORD *>(zeroOpened.GetMemory()) - 1));
}

TEST(SharedMemory, BadArgumentsAndMissingSectionsFail)
{
    const CException big = Thrown<CException>([&] { OpenSized(UniqueName(L"SyncBig"), 0xFFFFFFFF); });
    EXPECT_EQ(L"CSharedMemory::CalculateSize()", big.GetWhere());
    EXPECT_EQ(L"Size is too big: 4294967295 max is:4294967291", big.GetMessage());

    const CWin32Exception missing = Thrown<CWin32Exception>(
        [&] { CSharedMemory(CUnqualifiedName(UniqueName(L"SyncMissing")), CSharedMemory::ReadWrite); });
    EXPECT_EQ(L"CSharedMemory::CSharedMemory()", missing.GetWhere());
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), missing.GetError());
}

// The creator writes the size word after it has made the section; an opener in between must wait for
// it rather than report a mismatch, and gives up with a mismatch when it never comes.
TEST(SharedMemory, OpenerWaitsABoundedTimeForTheCreatorToWriteTheSizeWord)
{
    const std::wstring name = UniqueName(L"SyncLate");
    RawSection raw(name, 128 + sizeof(DWORD));
    ASSERT_TRUE(raw.IsValid());
    raw.UserArea()[0] = 0x5A;
    std::thread creator([&raw] {
        ::Sleep(200);
        *raw.SizeWord() = 128;
    });
    try
    {
        const CSharedMemory memory = OpenSized(name, 128);
        EXPECT_EQ(128u, memory.GetSize());
        EXPECT_EQ(0x5A, static_cast<const BYTE *>(memory.GetMemory())[0]);
    }
    catch (const CWin32Exception &e)
    {
        ADD_FAILURE() << "the opener did not wait for the size word: " << e.GetError();
    }
    creator.join();

    const std::wstring neverWritten = UniqueName(L"SyncNeverWritten");
    RawSection zero(neverWritten, 128 + sizeof(DWORD));
    ASSERT_TRUE(zero.IsValid());
    const CWin32Exception e = Thrown<CWin32Exception>([&] { OpenSized(neverWritten, 128); });
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), e.GetError());
    EXPECT_EQ(L"CSharedMemory::CSharedMemory() - Already exists and not the same size", e.GetWhere());
    EXPECT_EQ(0u, *zero.SizeWord());
}

// Any account can write the size word; a section smaller than it claims is never handed out.
TEST(SharedMemory, SectionSmallerThanItsSizeWordIsRefused)
{
    const std::wstring name = UniqueName(L"SyncSmall");
    RawSection raw(name, 4096);
    ASSERT_TRUE(raw.IsValid());
    *raw.SizeWord() = 100000;

    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH),
              Thrown<CWin32Exception>([&] { OpenSized(name, 100000); }).GetError());
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH),
              Thrown<CWin32Exception>([&] { CSharedMemory(CUnqualifiedName(name), CSharedMemory::ReadOnly); })
                  .GetError());

    *raw.SizeWord() = 4092;
    EXPECT_EQ(4092u, CSharedMemory(CUnqualifiedName(name), CSharedMemory::ReadOnly).GetSize());
}

TEST(MemoryMappedFile, MapsWholeFilesAndWritesThrough)
{
    wchar_t folder[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, folder));
    const std::wstring path = folder + UniqueName(L"SyncFile") + L".bin";
    const char content[] = "MZ provider image bytes";
    const struct Remover
    {
        std::wstring path;
        ~Remover() { ::DeleteFileW(path.c_str()); }
    } remover{path};
    {
        const CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.GetHandle(), content, sizeof(content), &written, nullptr));
    }
    {
        CMemoryMappedFile mapped(path, CMemoryMappedFile::ReadWrite);
        ASSERT_EQ(sizeof(content), mapped.GetSize());
        EXPECT_EQ(0, std::memcmp(content, mapped.GetBaseAddress(), sizeof(content)));
        static_cast<char *>(mapped.GetBaseAddress())[0] = 'P';
    }
    const CSmartHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    {
        const CMemoryMappedFile mapped(file.GetHandle(), CMemoryMappedFile::ReadOnly);
        EXPECT_EQ(sizeof(content), mapped.GetSize());
        EXPECT_EQ('P', static_cast<const char *>(mapped.GetBaseAddress())[0]) << "the write reached the file";
    }
    char first = 0;
    DWORD read = 0;
    EXPECT_TRUE(::ReadFile(file.GetHandle(), &first, 1, &read, nullptr)) << "the handle stays with the caller";
    EXPECT_EQ('P', first);
}
