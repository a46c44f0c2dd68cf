#include "tests/support/ChildProcess.h"
#include "tests/support/Expect.h"
#include "tests/support/TempFiles.h"
#include "win32/FileUtils.h"
#include "win32/MappedView.h"
#include "win32/MemoryMappedFile.h"
#include "win32/SharedMemory.h"
#include "win32/SmartHandle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>

using namespace Halyard::Win32;
using namespace Halyard::Testing;

namespace {

// A section made without CSharedMemory, so that a test controls its size word.
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

const wchar_t kOtherSize[] = L"CSharedMemory::CSharedMemory() - Already exists and not the same size";

// An existing section is reached by name, or through a handle that its user opened beforehand.
enum class Route
{
    ByName,
    Adopted
};

CSharedMemory ReachExisting(Route route, const std::wstring &name, DWORD size,
                            CSharedMemory::AccessMode access = CSharedMemory::ReadWrite)
{
    if (route == Route::ByName)
    {
        return CSharedMemory(CUnqualifiedName(name), size, access, true, nullptr);
    }
    CSmartHandle opened(::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str()));
    EXPECT_TRUE(opened.IsValid());
    return CSharedMemory(std::move(opened), CUnqualifiedName(name), size, access, nullptr);
}

DWORD ViewProtection(const void *address)
{
    MEMORY_BASIC_INFORMATION info = {};
    EXPECT_EQ(sizeof(info), ::VirtualQuery(address, &info, sizeof(info)));
    return info.Protect;
}

} // namespace

TEST(SharedMemory, OpenersShareTheCreatorsSectionOfTheSameSizeOnly)
{
    const std::wstring name = UniqueName(L"SyncSame");
    CSharedMemory first = OpenSized(name, 64);
    std::memcpy(first.GetMemory(), "counter values", 15);
    ExpectWin32Exception([&] { CSharedMemory(CUnqualifiedName(name), 64, CSharedMemory::ReadWrite, false, nullptr); },
                         L"CSharedMemory::CSharedMemory() - CreateFileMapping", ERROR_ALREADY_EXISTS);

    const CSharedMemory reader(CUnqualifiedName(name), CSharedMemory::ReadOnly);
    EXPECT_EQ(64u, reader.GetSize());
    EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), ViewProtection(reader.GetMemory()));
    EXPECT_STREQ("counter values", static_cast<const char *>(reader.GetMemory()));

    // A zero user size makes a section holding only the size word.
    const std::wstring empty = UniqueName(L"SyncZero");
    CSharedMemory zero(CUnqualifiedName(empty), 0, CSharedMemory::ReadWrite, false, nullptr);
    EXPECT_EQ(0u, CSharedMemory(CUnqualifiedName(empty), CSharedMemory::ReadOnly).GetSize());
}

// The section is mapped once for an opener: whichever way it was reached, every check of an existing
// section still applies, and a refused section is left as it was.
TEST(SharedMemory, ExistingSectionIsCheckedAlikeByNameAndThroughAnAdoptedHandle)
{
    for (const Route route : {Route::ByName, Route::Adopted})
    {
        SCOPED_TRACE(route == Route::ByName ? "by name" : "adopted handle");
        const std::wstring name = UniqueName(L"SyncRoute");
        CSharedMemory creator = OpenSized(name, 64);
        std::memcpy(creator.GetMemory(), "counter values", 15);

        CSharedMemory writer = ReachExisting(route, name, 64);
        EXPECT_EQ(64u, writer.GetSize());
        EXPECT_STREQ("counter values", static_cast<const char *>(writer.GetMemory()));
        static_cast<char *>(writer.GetMemory())[0] = 'C';
        EXPECT_EQ('C', static_cast<const char *>(creator.GetMemory())[0]);

        const CSharedMemory reader = ReachExisting(route, name, 64, CSharedMemory::ReadOnly);
        EXPECT_EQ(static_cast<DWORD>(PAGE_READONLY), ViewProtection(reader.GetMemory()));
        EXPECT_EQ('C', static_cast<const char *>(reader.GetMemory())[0]);

        ExpectWin32Exception([&] { ReachExisting(route, name, 32); }, kOtherSize, ERROR_BAD_LENGTH);
        EXPECT_EQ(64u, *(static_cast<const DWORD *>(creator.GetMemory()) - 1));
        EXPECT_STREQ("Counter values", static_cast<const char *>(creator.GetMemory()));

        const std::wstring small = UniqueName(L"SyncRouteSmall");
        RawSection raw(small, 4096);
        ASSERT_TRUE(raw.IsValid());
        *raw.SizeWord() = 100000;
        ExpectWin32Exception([&] { ReachExisting(route, small, 100000); }, kOtherSize, ERROR_BAD_LENGTH);
        EXPECT_EQ(100000u, *raw.SizeWord());
    }
}

// A new section gets its size word through a writable view, also when its creator asked to read only.
TEST(SharedMemory, NewSectionCarriesItsSizeWhateverTheViewsAccess)
{
    for (const bool adopting : {false, true})
    {
        for (const CSharedMemory::AccessMode access : {CSharedMemory::ReadWrite, CSharedMemory::ReadOnly})
        {
            SCOPED_TRACE(std::string(adopting ? "no handle to adopt" : "by name") + ", access " +
                         std::to_string(access));
            const std::wstring name = UniqueName(L"SyncNew");
            const CSharedMemory created =
                adopting ? CSharedMemory(CSmartHandle(), CUnqualifiedName(name), 48, access, nullptr)
                         : CSharedMemory(CUnqualifiedName(name), 48, access, false, nullptr);
            EXPECT_EQ(48u, created.GetSize());
            EXPECT_EQ(static_cast<DWORD>(access == CSharedMemory::ReadOnly ? PAGE_READONLY : PAGE_READWRITE),
                      ViewProtection(created.GetMemory()));
            EXPECT_EQ(48u, CSharedMemory(CUnqualifiedName(name), CSharedMemory::ReadOnly).GetSize());
        }
    }
}

TEST(SharedMemory, BadArgumentsAndMissingSectionsFail)
{
    ExpectException([&] { OpenSized(UniqueName(L"SyncBig"), 0xFFFFFFFF); }, L"CSharedMemory::CalculateSize()",
                    L"Size is too big: 4294967295 max is:4294967291");
    ExpectWin32Exception([&] { CSharedMemory(CUnqualifiedName(UniqueName(L"SyncMissing")), CSharedMemory::ReadWrite); },
                         L"CSharedMemory::CSharedMemory()", ERROR_FILE_NOT_FOUND);
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
    EXPECT_NO_THROW({
        const CSharedMemory memory = OpenSized(name, 128);
        EXPECT_EQ(0x5A, static_cast<const BYTE *>(memory.GetMemory())[0]);
    }) << "the opener did not wait for the size word";
    creator.join();

    const std::wstring neverWritten = UniqueName(L"SyncNeverWritten");
    RawSection zero(neverWritten, 128 + sizeof(DWORD));
    ASSERT_TRUE(zero.IsValid());
    ExpectWin32Exception([&] { OpenSized(neverWritten, 128); }, kOtherSize, ERROR_BAD_LENGTH);
    EXPECT_EQ(0u, *zero.SizeWord());
}

// Any account can write the size word; a section smaller than it claims is never handed out.
TEST(SharedMemory, SectionSmallerThanItsSizeWordIsRefused)
{
    const std::wstring name = UniqueName(L"SyncSmall");
    RawSection raw(name, 4096);
    ASSERT_TRUE(raw.IsValid());
    *raw.SizeWord() = 100000;
    EXPECT_THROW(CSharedMemory(CUnqualifiedName(name), CSharedMemory::ReadOnly), CWin32Exception);
    *raw.SizeWord() = 4092;
    EXPECT_EQ(4092u, CSharedMemory(CUnqualifiedName(name), CSharedMemory::ReadOnly).GetSize());
}

TEST(MemoryMappedFile, MapsWholeFilesAndLeavesAGivenHandleWithTheCaller)
{
    const CTempFile file(L"SyncFile", L".bin");
    const std::string content = "MZ provider image bytes";
    SaveStringAsFile(file.Path(), content);
    {
        const CMemoryMappedFile mapped(file.Path(), CMemoryMappedFile::ReadOnly);
        ASSERT_EQ(content.size(), mapped.GetSize());
        EXPECT_EQ(0, std::memcmp(content.data(), mapped.GetBaseAddress(), content.size()));
    }
    const CSmartHandle handle(::CreateFileW(file.Path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    {
        const CMemoryMappedFile mapped(handle.GetHandle(), CMemoryMappedFile::ReadOnly);
        EXPECT_EQ(content.size(), mapped.GetSize());
    }
    char first = 0;
    DWORD read = 0;
    EXPECT_TRUE(::ReadFile(handle.GetHandle(), &first, 1, &read, nullptr)) << "the handle stays with the caller";
    EXPECT_EQ('M', first);
}
