#include "TestSupport.h"

#include "win32/Digest.h"
#include "win32/ToString.h"

#include <functional>
#include <vector>

using Halyard::PerfMon::CPerformanceDataSchema;
typedef CPerformanceDataSchema::Object Object;

namespace {

// The digest of a checksum text written out by hand, as UTF-16LE bytes.
std::wstring DigestOfText(const std::wstring &text)
{
    BYTE digest[16];
    Halyard::Win32::GetMD5Digest(reinterpret_cast<const BYTE *>(text.data()), static_cast<DWORD>(text.size() * 2),
                                 digest, 16);
    return Halyard::Win32::ToHexStringW(digest, 16, Halyard::Win32::HexUpperCase);
}

const wchar_t kExampleCounters[] = L"[In|Out|-Received|Sent|{100:-6:65792}{100:-4:272696576}]]";

typedef std::function<void(CPerformanceDataSchema &, Object &)> Change;

// The worked example; `change` runs once its first counter is in, before the default counter is chosen.
CPerformanceDataSchema Example(const Change &change = nullptr, bool swapCounters = false, bool chooseDefault = true)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObjectWithInstances(L"Server", L"Totals", 100, 3, 25);
    const std::function<void()> in = [&] { object.AddCounter(L"In", L"Received", 100, -6, 0x10100); };
    const std::function<void()> out = [&] { object.AddCounter(L"Out", L"Sent", 100, -4, 0x10410500); };
    (swapCounters ? out : in)();
    if (change)
    {
        change(schema, object);
    }
    if (chooseDefault)
    {
        object.SetDefaultCounter();
    }
    (swapCounters ? in : out)();
    return schema;
}

std::wstring ExampleChecksum(const Change &change = nullptr)
{
    return Example(change).GetChecksum();
}

Change ObjectLanguages(const std::vector<const wchar_t *> &languages)
{
    return [=](CPerformanceDataSchema &, Object &object) {
        for (const wchar_t *language : languages)
        {
            object.AddSupportedLanguage(language, L"Server", L"Totals");
        }
    };
}

} // namespace

TEST(SchemaChecksum, ReproducesTheKnownDigests)
{
    EXPECT_EQ(L"4131A6B4598B49835B412A9287D657AC", CPerformanceDataSchema(L"009").GetChecksum());
    EXPECT_EQ(L"328442417082C7CB34F4A8E1FBB00D8D", ExampleChecksum());
    EXPECT_EQ(DigestOfText(std::wstring(L"CPerformanceDataSchema:v1.0:[009|Server|Totals|100:3:25:1:2") +
                           kExampleCounters),
              ExampleChecksum());
}

TEST(SchemaChecksum, RendersEveryObjectFormAndSignedValues)
{
    CPerformanceDataSchema schema(L"009");
    Object &plain = schema.AddObject(L"Plain", L"P|[]{}-:", 200);
    plain.AddCounter(L"C", L"H", 0xFFFFFFFF, 0, 0x80000000);
    Object &numbered = schema.AddObjectWithInstances(L"Numbered", L"N", 300, 7);
    numbered.AddCounter(L"A", L"B", 100, 3, PERF_COUNTER_RAWCOUNT);
    numbered.AddCounter(L"D", L"E", 100, 0, PERF_COUNTER_RAWCOUNT);
    numbered.SetDefaultCounter();

    // Objects without instances give 4294967295 and 0; detail levels, scales and types are signed;
    // texts go in without escaping.
    EXPECT_EQ(DigestOfText(L"CPerformanceDataSchema:v1.0:"
                           L"[009|Plain|P|[]{}-:|200:4294967295:0:0:1[C|-H|{-1:0:-2147483648}]]"
                           L"[009|Numbered|N|300:7:0:2:2[A|D|-B|E|{100:3:65536}{100:0:65536}]]"),
              schema.GetChecksum());
}

TEST(SchemaChecksum, ChangesWithObjectLanguagesCounterOrderAndDefaultCounterOnly)
{
    const std::wstring base = ExampleChecksum();
    EXPECT_EQ(base, ExampleChecksum([](CPerformanceDataSchema &schema, Object &object) {
                  schema.AddSupportedLanguage(L"007");
                  object.AddCounterSupportedLanguage(L"007", L"Ein", L"Empfangen");
              }));

    // An object's languages count, in language order whatever order they were added in.
    EXPECT_EQ(DigestOfText(std::wstring(L"CPerformanceDataSchema:v1.0:[007|Server|Totals|009|Server|Totals|"
                                        L"100:3:25:1:2") +
                           kExampleCounters),
              ExampleChecksum(ObjectLanguages({L"007"})));
    EXPECT_EQ(ExampleChecksum(ObjectLanguages({L"00C", L"007"})), ExampleChecksum(ObjectLanguages({L"007", L"00C"})));

    EXPECT_NE(base, Example(nullptr, true).GetChecksum());
    EXPECT_EQ(DigestOfText(std::wstring(L"CPerformanceDataSchema:v1.0:[009|Server|Totals|100:3:25:0:2") +
                           kExampleCounters),
              Example(nullptr, false, false).GetChecksum());
}

TEST(SchemaChecksum, MatchesOnlyTheExactText)
{
    const CPerformanceDataSchema schema = Example();
    EXPECT_TRUE(schema.ChecksumMatches(L"328442417082C7CB34F4A8E1FBB00D8D"));
    EXPECT_FALSE(schema.ChecksumMatches(L"328442417082c7cb34f4a8e1fbb00d8d"));
    EXPECT_FALSE(schema.ChecksumMatches(L"4131A6B4598B49835B412A9287D657AC"));
    EXPECT_FALSE(schema.ChecksumMatches(L""));
}
