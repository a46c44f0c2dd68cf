#include "TestSupport.h"

#include <functional>
#include <vector>

using Halyard::PerfMon::CPerformanceDataSchema;
typedef CPerformanceDataSchema::Object Object;

namespace {

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

Change ObjectLanguages(const std::vector<const wchar_t *> &languages)
{
    return [=](CPerformanceDataSchema &, Object &object) {
        for (const wchar_t *language : languages)
        {
            object.AddSupportedLanguage(language, L"Server", L"Totals");
        }
    };
}

// The digest of "CPerformanceDataSchema:v1.0:[009|Server|Totals|100:3:25:1:2" followed by
// "[In|Out|-Received|Sent|{100:-6:65792}{100:-4:272696576}]]", in UTF-16LE.
const wchar_t kExample[] = L"328442417082C7CB34F4A8E1FBB00D8D";

} // namespace

// Servers and installed registrations compare these texts' digests: each pinned value is the
// digest of the text in the comment, worked out apart from the code.
TEST(SchemaChecksum, ReproducesTheKnownDigests)
{
    // "CPerformanceDataSchema:v1.0:"
    EXPECT_EQ(L"4131A6B4598B49835B412A9287D657AC", CPerformanceDataSchema(L"009").GetChecksum());
    EXPECT_EQ(kExample, Example().GetChecksum());
    // As the example, with "[007|Server|Totals|009|Server|Totals|" for the object's languages: in
    // language order whatever order they were added in.
    EXPECT_EQ(L"784DAB9C562132D2A76FC5FF08AB3C66", Example(ObjectLanguages({L"007"})).GetChecksum());
    EXPECT_EQ(Example(ObjectLanguages({L"00C", L"007"})).GetChecksum(),
              Example(ObjectLanguages({L"007", L"00C"})).GetChecksum());
    // As the example, with no default counter: "100:3:25:0:2".
    EXPECT_EQ(L"4318A3BEFA2547FB25BBC5C87ABCF3FD", Example(nullptr, false, false).GetChecksum());
    EXPECT_NE(kExample, Example(nullptr, true).GetChecksum());
    // Counter texts in other languages do not count.
    EXPECT_EQ(kExample, Example([](CPerformanceDataSchema &schema, Object &object) {
                            schema.AddSupportedLanguage(L"007");
                            object.AddCounterSupportedLanguage(L"007", L"Ein", L"Empfangen");
                        }).GetChecksum());
}

// "CPerformanceDataSchema:v1.0:[009|Plain|P|[]{}-:|200:4294967295:0:0:1[C|-H|{-1:0:-2147483648}]]"
// "[009|Numbered|N|300:7:0:2:2[A|D|-B|E|{100:3:65536}{100:0:65536}]]": objects without instances
// give 4294967295 and 0; detail levels, scales and types are signed; texts go in without escaping.
TEST(SchemaChecksum, RendersEveryObjectFormAndSignedValues)
{
    CPerformanceDataSchema schema(L"009");
    Object &plain = schema.AddObject(L"Plain", L"P|[]{}-:", 200);
    plain.AddCounter(L"C", L"H", 0xFFFFFFFF, 0, 0x80000000);
    Object &numbered = schema.AddObjectWithInstances(L"Numbered", L"N", 300, 7);
    numbered.AddCounter(L"A", L"B", 100, 3, PERF_COUNTER_RAWCOUNT);
    numbered.AddCounter(L"D", L"E", 100, 0, PERF_COUNTER_RAWCOUNT);
    numbered.SetDefaultCounter();
    EXPECT_EQ(L"8208C1FF3747711CC01E84F5742ECFCA", schema.GetChecksum());
}

TEST(SchemaChecksum, MatchesOnlyTheExactText)
{
    const CPerformanceDataSchema schema = Example();
    EXPECT_TRUE(schema.ChecksumMatches(kExample));
    EXPECT_FALSE(schema.ChecksumMatches(L"328442417082c7cb34f4a8e1fbb00d8d"));
    EXPECT_FALSE(schema.ChecksumMatches(L"4131A6B4598B49835B412A9287D657AC"));
    EXPECT_FALSE(schema.ChecksumMatches(L""));
}
