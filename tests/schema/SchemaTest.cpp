#include "TestSupport.h"

using Halyard::PerfMon::CPerformanceDataSchema;
typedef CPerformanceDataSchema::Object Object;
typedef CPerformanceDataSchema::Strings Strings;

TEST(SchemaValidation, NeedsAnObjectAndEveryObjectACounter)
{
    CPerformanceDataSchema schema(L"009");
    ExpectException([&] { schema.ValidateSchema(); }, L"CPerformanceDataSchema::ValidateSchema()",
                    L"Schema must have at least one object");
    ExpectException([&] { schema.GetRequiredSize(); }, L"CPerformanceDataSchema::ValidateSchema()",
                    L"Schema must have at least one object");

    AddCounters(schema.AddObject(L"First", L"help", PERF_DETAIL_NOVICE), 1);
    schema.AddObject(L"Second", L"help", PERF_DETAIL_NOVICE);
    const std::wstring where = L"CPerformanceDataSchema::Object::ValidateSchema()";
    const std::wstring message = L"Objects must have at least one counter";
    ExpectException([&] { schema.ValidateSchema(); }, where, message);
    ExpectException([&] { schema.GetObjectDefinitionsSize(); }, where, message);
    ExpectException([&] { schema.GetCounterDataSize(); }, where, message);
}

// Names are compared case-sensitively; counter names only within their object.
TEST(SchemaNames, RefuseADuplicateObjectWhicheverFormAddsItAndADuplicateCounterInItsObject)
{
    CPerformanceDataSchema schema(L"009");
    Object &first = schema.AddObject(L"Server", L"help", PERF_DETAIL_NOVICE);
    const std::wstring message = L"Duplicate object name: \"Server\"";
    ExpectException([&] { schema.AddObject(L"Server", L"other", PERF_DETAIL_NOVICE); },
                    L"CPerformanceDataSchema::AddObject()", message);
    ExpectException([&] { schema.AddObjectWithInstances(L"Server", L"other", PERF_DETAIL_NOVICE, 3, 25); },
                    L"CPerformanceDataSchema::AddObjectWithInstances()", message);
    ExpectException([&] { schema.AddObjectWithInstances(L"Server", L"other", PERF_DETAIL_NOVICE, 3); },
                    L"CPerformanceDataSchema::AddObjectWithInstances()", message);
    EXPECT_EQ(L"help", first.GetHelp());
    Object &second = schema.AddObject(L"server", L"help", PERF_DETAIL_NOVICE);
    EXPECT_EQ(2u, schema.GetObjectCount());

    first.AddCounter(L"Bytes In", L"help", PERF_DETAIL_NOVICE, -6, PERF_COUNTER_LARGE_RAWCOUNT);
    ExpectException([&] { first.AddCounter(L"Bytes In", L"other", PERF_DETAIL_EXPERT, 0, PERF_COUNTER_RAWCOUNT); },
                    L"CPerformanceDataSchema::Object::AddCounter()", L"Duplicate counter name: \"Bytes In\"");
    first.AddCounter(L"bytes in", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    second.AddCounter(L"Bytes In", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    ASSERT_EQ(2u, first.GetCounters().size());
    EXPECT_EQ(L"help", first.GetCounters()[0]->GetHelp());
}

TEST(SchemaObjects, KeepInsertionOrderAndStableReferences)
{
    CPerformanceDataSchema schema(L"009");
    Object &zulu = schema.AddObject(L"Zulu", L"z", PERF_DETAIL_NOVICE);
    for (int i = 0; i < 50; ++i)
    {
        schema.AddObject(L"Object " + std::to_wstring(i), L"help", PERF_DETAIL_ADVANCED);
    }
    Object &alpha = schema.AddObject(L"Alpha", L"a", PERF_DETAIL_NOVICE);

    ASSERT_EQ(52u, schema.GetObjectCount());
    EXPECT_EQ(&alpha, schema.GetObjects().back().get());
    EXPECT_EQ(L"Object 7", schema.GetObjects()[8]->GetName());
    // A moved schema keeps its objects where they were.
    CPerformanceDataSchema moved(std::move(schema));
    EXPECT_EQ(&zulu, moved.GetObjects().front().get());
    EXPECT_EQ(L"Zulu", zulu.GetName());
}

// A refused object leaves nothing behind, so its name can be used again. An object with instances but no
// slot would own counters without storage and let the next object's storage overlap its own.
TEST(SchemaObjects, RefuseInstanceLimitsOutOfRangeAndRoundTheNameSpace)
{
    CPerformanceDataSchema schema(L"009");
    const std::wstring where = L"CPerformanceDataSchema::Object::Object()";
    ExpectException([&] { schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 3, 0); }, where,
                    L"Max instance name length must be more than 0, it's: 0");
    ExpectException([&] { schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 1, 0x7FFFFFF6); },
                    where, L"Max instance name length is too long, it's: 2147483638");
    ExpectException([&] { schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 0, 25); }, where,
                    L"Max instances must be from 1 to 4294967294, it's: 0");
    ExpectException([&] { schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 0); }, where,
                    L"Max instances must be from 1 to 4294967294, it's: 0");
    // PERF_NO_INSTANCES would quietly make an object without instances.
    ExpectException([&] { schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 0xFFFFFFFF); },
                    where, L"Max instances must be from 1 to 4294967294, it's: 4294967295");
    EXPECT_EQ(0u, schema.GetObjectCount());
    schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 1, 25);
    EXPECT_EQ(0u, schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 1).GetInstanceNameSpace());

    // The name and its terminator in UTF-16, rounded up to 4 bytes.
    const std::pair<DWORD, DWORD> cases[] = {{1, 4}, {2, 8}, {24, 52}, {25, 52}, {26, 56}};
    for (const auto &c : cases)
    {
        EXPECT_EQ(c.second, schema.AddObjectWithInstances(L"Length " + std::to_wstring(c.first), L"help",
                                                          PERF_DETAIL_NOVICE, 2, c.first)
                                .GetInstanceNameSpace())
            << "length " << c.first;
    }
}

TEST(SchemaCounters, DefaultCounterIsTheOneAddedLastAndIsChosenOnce)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObject(L"Server", L"help", PERF_DETAIL_NOVICE);
    // Before any counter nothing is chosen, so choosing again later is still allowed.
    object.SetDefaultCounter();
    EXPECT_EQ(0u, object.GetDefaultCounter());

    AddCounters(object, 2);
    object.SetDefaultCounter();
    EXPECT_EQ(2u, object.GetDefaultCounter());
    object.AddCounter(L"C", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    ExpectException([&] { object.SetDefaultCounter(); }, L"CPerformanceDataSchema::Object::SetDefaultCounter()",
                    L"Default counter already set to: 2");
    EXPECT_EQ(2u, object.GetDefaultCounter());
}

TEST(SchemaLanguages, RefuseALanguageTwiceAtEveryLevelAndFallBackToTheOwnLanguage)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObject(L"Server", L"Totals", PERF_DETAIL_NOVICE);
    ExpectException([&] { object.AddCounterSupportedLanguage(L"007", L"Ein", L"Empfangen"); },
                    L"CPerformanceDataSchema::Object::AddCounterSupportedLanguage()", L"No counter added yet");
    object.AddCounter(L"In", L"Received", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);

    const std::wstring where = L"CPerformanceDataSchema::AddSupportedLanguage()";
    const std::wstring counterWhere = L"CPerformanceDataSchema::Object::Counter::AddSupportedLanguage()";
    ExpectException([&] { schema.AddSupportedLanguage(L"009"); }, where, L"Duplicate language id: \"009\"");
    ExpectException([&] { object.AddSupportedLanguage(L"009", L"x", L"y"); },
                    L"CPerformanceDataSchema::Object::AddSupportedLanguage()", L"Duplicate language id: \"009\"");
    ExpectException([&] { object.AddCounterSupportedLanguage(L"009", L"x", L"y"); }, counterWhere,
                    L"Duplicate language id: \"009\"");

    schema.AddSupportedLanguage(L"007");
    object.AddSupportedLanguage(L"007", L"Rechner", L"Summen");
    object.AddCounterSupportedLanguage(L"007", L"Ein", L"Empfangen");
    ExpectException([&] { schema.AddSupportedLanguage(L"007"); }, where, L"Duplicate language id: \"007\"");
    ExpectException([&] { object.AddCounterSupportedLanguage(L"007", L"x", L"y"); }, counterWhere,
                    L"Duplicate language id: \"007\"");
    // The first texts given in a language stay; texts missing in a language fall back to the own language.
    object.AddCounter(L"Out", L"Sent", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    EXPECT_EQ(L"Summen", object.GetHelp(L"007"));
    EXPECT_EQ(L"Server", object.GetName(L"00C"));
    EXPECT_EQ(L"Totals", object.GetHelp(L"00C"));
    Strings texts = {L"stale"};
    object.GetCounterNames(L"007", texts);
    EXPECT_EQ((Strings{L"Ein", L"Out"}), texts);
    object.GetCounterHelp(L"007", texts);
    EXPECT_EQ((Strings{L"Empfangen", L"Sent"}), texts);
    object.GetCounterNames(texts);
    EXPECT_EQ((Strings{L"In", L"Out"}), texts);
}

TEST(SchemaLanguages, AreListedInOrdinalOrder)
{
    CPerformanceDataSchema schema(L"009");
    // Code unit order: upper case before lower case, a prefix before its extensions, and
    // code units from 0x8000 up after ASCII (they are unsigned).
    for (const wchar_t *language : {L"\x8000", L"a", L"B", L"00", L"0099"})
    {
        schema.AddSupportedLanguage(language);
    }
    Strings languages = {L"stale"};
    schema.GetSupportedLanguages(languages);
    EXPECT_EQ((Strings{L"00", L"009", L"0099", L"B", L"a", L"\x8000"}), languages);
}

// A size that wrapped round in 32 bits would make the shared block smaller than what is written into it.
TEST(SchemaSizes, RefuseSizesBeyondThirtyTwoBits)
{
    CPerformanceDataSchema schema(L"009");
    Object &slots = schema.AddObjectWithInstances(L"Many slots", L"help", PERF_DETAIL_NOVICE, 0x10000000, 25);
    AddCounters(slots, 1);
    // 76 x 0x10000000 + 104 = 20401094760.
    ExpectException([&] { schema.GetRequiredSize(); }, L"CPerformanceDataSchema::Object::GetDefinitionSize()",
                    L"Size does not fit in 32 bits: 20401094760");

    CPerformanceDataSchema data(L"009");
    Object &values = data.AddObjectWithInstances(L"Many values", L"help", PERF_DETAIL_NOVICE, 0x10000000);
    AddCounters(values, 2);
    ExpectException([&] { values.GetCounterDataSize(); }, L"CPerformanceDataSchema::Object::GetCounterDataSize()",
                    L"Size does not fit in 32 bits: 4294967296");

    // Each object fits, and so do all definitions and all values; definitions and values together do not.
    CPerformanceDataSchema sum(L"009");
    for (int i = 0; i < 4; ++i)
    {
        AddCounters(sum.AddObjectWithInstances(L"O" + std::to_wstring(i), L"help", PERF_DETAIL_NOVICE, 0x02000000), 2);
    }
    EXPECT_EQ(0xC0000000u + 576, sum.GetObjectDefinitionsSize());
    EXPECT_EQ(0x80000000u, sum.GetCounterDataSize());
    ExpectException([&] { sum.GetRequiredSize(); }, L"CPerformanceDataSchema::GetRequiredSize()",
                    L"Size does not fit in 32 bits: 5368709696");
}
