#include "perfmon/Schema.h"

#include "win32/Digest.h"
#include "win32/ToString.h"

#include <gtest/gtest.h>

#include <winperf.h>

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

// The schema of the worked example; the callback may change it before the counters are added.
template <typename Change>
std::wstring ExampleChecksum(Change change)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObjectWithInstances(L"Server", L"Totals", 100, 3, 25);
    change(object);
    object.AddCounter(L"In", L"Received", 100, -6, 0x10100);
    object.SetDefaultCounter();
    object.AddCounter(L"Out", L"Sent", 100, -4, 0x10410500);
    return schema.GetChecksum();
}

std::wstring ExampleChecksum()
{
    return ExampleChecksum([](Object &) {});
}

} // namespace

TEST(SchemaChecksum, ReproducesTheKnownDigests)
{
    EXPECT_EQ(L"4131A6B4598B49835B412A9287D657AC", CPerformanceDataSchema(L"009").GetChecksum());

    const std::wstring checksum = ExampleChecksum();
    EXPECT_EQ(L"328442417082C7CB34F4A8E1FBB00D8D", checksum);
    EXPECT_EQ(DigestOfText(L"CPerformanceDataSchema:v1.0:[009|Server|Totals|100:3:25:1:2[In|Out|-Received|Sent|"
                           L"{100:-6:65792}{100:-4:272696576}]]"),
              checksum);
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

TEST(SchemaChecksum, ChangesWithObjectLanguagesButNotCounterOrSchemaLanguages)
{
    const std::wstring base = ExampleChecksum();

    const std::wstring withObjectLanguage =
        ExampleChecksum([](Object &object) { object.AddSupportedLanguage(L"007", L"Server", L"Totals"); });
    EXPECT_NE(base, withObjectLanguage);
    EXPECT_EQ(DigestOfText(L"CPerformanceDataSchema:v1.0:[007|Server|Totals|009|Server|Totals|100:3:25:1:2"
                           L"[In|Out|-Received|Sent|{100:-6:65792}{100:-4:272696576}]]"),
              withObjectLanguage);

    CPerformanceDataSchema schema(L"009");
    schema.AddSupportedLanguage(L"007");
    Object &object = schema.AddObjectWithInstances(L"Server", L"Totals", 100, 3, 25);
    object.AddCounter(L"In", L"Received", 100, -6, 0x10100);
    object.AddCounterSupportedLanguage(L"007", L"Ein", L"Empfangen");
    object.SetDefaultCounter();
    object.AddCounter(L"Out", L"Sent", 100, -4, 0x10410500);
    EXPECT_EQ(base, schema.GetChecksum());
}

TEST(SchemaChecksum, RendersObjectLanguagesInLanguageOrder)
{
    const std::wstring oneOrder = ExampleChecksum([](Object &object) {
        object.AddSupportedLanguage(L"00C", L"Serveur", L"Totaux");
        object.AddSupportedLanguage(L"007", L"Rechner", L"Summen");
    });
    const std::wstring otherOrder = ExampleChecksum([](Object &object) {
        object.AddSupportedLanguage(L"007", L"Rechner", L"Summen");
        object.AddSupportedLanguage(L"00C", L"Serveur", L"Totaux");
    });
    EXPECT_EQ(oneOrder, otherOrder);
}

TEST(SchemaChecksum, ChangesWithCounterOrderAndDefaultCounter)
{
    CPerformanceDataSchema swapped(L"009");
    Object &object = swapped.AddObjectWithInstances(L"Server", L"Totals", 100, 3, 25);
    object.AddCounter(L"Out", L"Sent", 100, -4, 0x10410500);
    object.AddCounter(L"In", L"Received", 100, -6, 0x10100);
    object.SetDefaultCounter();
    EXPECT_NE(ExampleChecksum(), swapped.GetChecksum());

    CPerformanceDataSchema noDefault(L"009");
    Object &other = noDefault.AddObjectWithInstances(L"Server", L"Totals", 100, 3, 25);
    other.AddCounter(L"In", L"Received", 100, -6, 0x10100);
    other.AddCounter(L"Out", L"Sent", 100, -4, 0x10410500);
    EXPECT_NE(ExampleChecksum(), noDefault.GetChecksum());
    EXPECT_EQ(DigestOfText(L"CPerformanceDataSchema:v1.0:[009|Server|Totals|100:3:25:0:2[In|Out|-Received|Sent|"
                           L"{100:-6:65792}{100:-4:272696576}]]"),
              noDefault.GetChecksum());
}

TEST(SchemaChecksum, MatchesOnlyTheExactText)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObjectWithInstances(L"Server", L"Totals", 100, 3, 25);
    object.AddCounter(L"In", L"Received", 100, -6, 0x10100);
    object.SetDefaultCounter();
    object.AddCounter(L"Out", L"Sent", 100, -4, 0x10410500);

    EXPECT_TRUE(schema.ChecksumMatches(L"328442417082C7CB34F4A8E1FBB00D8D"));
    EXPECT_FALSE(schema.ChecksumMatches(L"328442417082c7cb34f4a8e1fbb00d8d"));
    EXPECT_FALSE(schema.ChecksumMatches(L"4131A6B4598B49835B412A9287D657AC"));
    EXPECT_FALSE(schema.ChecksumMatches(L""));
}
