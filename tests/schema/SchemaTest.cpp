#include "perfmon/Schema.h"

#include "ExpectException.h"

#include <winperf.h>

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

    Object &first = schema.AddObject(L"First", L"help", PERF_DETAIL_NOVICE);
    first.AddCounter(L"C", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    schema.AddObject(L"Second", L"help", PERF_DETAIL_NOVICE);
    ExpectException([&] { schema.ValidateSchema(); }, L"CPerformanceDataSchema::Object::ValidateSchema()",
                    L"Objects must have at least one counter");
    ExpectException([&] { schema.GetObjectDefinitionsSize(); }, L"CPerformanceDataSchema::Object::ValidateSchema()",
                    L"Objects must have at least one counter");
    ExpectException([&] { schema.GetCounterDataSize(); }, L"CPerformanceDataSchema::Object::ValidateSchema()",
                    L"Objects must have at least one counter");
}

TEST(SchemaObjects, RefuseADuplicateNameWhicheverFormAddsIt)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObject(L"Server", L"help", PERF_DETAIL_NOVICE);
    object.AddCounter(L"C", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);

    ExpectException([&] { schema.AddObject(L"Server", L"other", PERF_DETAIL_NOVICE); },
                    L"CPerformanceDataSchema::AddObject()", L"Duplicate object name: \"Server\"");
    ExpectException([&] { schema.AddObjectWithInstances(L"Server", L"other", PERF_DETAIL_NOVICE, 3, 25); },
                    L"CPerformanceDataSchema::AddObjectWithInstances()", L"Duplicate object name: \"Server\"");
    ExpectException([&] { schema.AddObjectWithInstances(L"Server", L"other", PERF_DETAIL_NOVICE, 3); },
                    L"CPerformanceDataSchema::AddObjectWithInstances()", L"Duplicate object name: \"Server\"");
    EXPECT_EQ(1u, schema.GetObjectCount());

    // Names are compared case-sensitively.
    schema.AddObject(L"server", L"help", PERF_DETAIL_NOVICE);
    EXPECT_EQ(2u, schema.GetObjectCount());
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
    EXPECT_EQ(&zulu, schema.GetObjects().front().get());
    EXPECT_EQ(&alpha, schema.GetObjects().back().get());
    EXPECT_EQ(L"Object 7", schema.GetObjects()[8]->GetName());

    // A moved schema keeps its objects where they were.
    CPerformanceDataSchema moved(std::move(schema));
    EXPECT_EQ(&zulu, moved.GetObjects().front().get());
    EXPECT_EQ(L"Zulu", zulu.GetName());
}

TEST(SchemaObjects, NamedInstancesNeedANameLengthAndReserveRoundedNameSpace)
{
    CPerformanceDataSchema schema(L"009");
    ExpectException([&] { schema.AddObjectWithInstances(L"Zero", L"help", PERF_DETAIL_NOVICE, 3, 0); },
                    L"CPerformanceDataSchema::Object::Object()",
                    L"Max instance name length must be more than 0, it's: 0");
    EXPECT_EQ(0u, schema.GetObjectCount());
    // The failed name is not recorded, so it can be added properly now.
    schema.AddObjectWithInstances(L"Zero", L"help", PERF_DETAIL_NOVICE, 3, 1);

    struct Case
    {
        DWORD length;
        DWORD space;
    };
    const Case cases[] = {{1, 4}, {2, 8}, {24, 52}, {25, 52}, {26, 56}};
    for (const Case &c : cases)
    {
        const Object &object =
            schema.AddObjectWithInstances(L"Length " + std::to_wstring(c.length), L"help", PERF_DETAIL_NOVICE, 2, c.length);
        EXPECT_EQ(c.length, object.GetMaxInstanceNameLength());
        EXPECT_EQ(c.space, object.GetInstanceNameSpace()) << "length " << c.length;
        EXPECT_EQ(2u, object.GetMaxInstances());
    }

    const Object &unnamed = schema.AddObjectWithInstances(L"Unnamed", L"help", PERF_DETAIL_NOVICE, 4);
    EXPECT_EQ(4u, unnamed.GetMaxInstances());
    EXPECT_EQ(0u, unnamed.GetMaxInstanceNameLength());
    EXPECT_EQ(0u, unnamed.GetInstanceNameSpace());

    const Object &plain = schema.AddObject(L"Plain", L"help", PERF_DETAIL_WIZARD);
    EXPECT_EQ(static_cast<DWORD>(PERF_NO_INSTANCES), plain.GetMaxInstances());
    EXPECT_EQ(0u, plain.GetMaxInstanceNameLength());
    EXPECT_EQ(0u, plain.GetInstanceNameSpace());
    EXPECT_EQ(static_cast<DWORD>(PERF_DETAIL_WIZARD), plain.GetDetailLevel());
    EXPECT_EQ(L"009", plain.GetLanguageId());
}

// An object with instances but no instance slot would own counters without storage, and would let the
// counter storage of the next object overlap its own; it is refused where the schema is built.
TEST(SchemaObjects, InstancesNeedAtLeastOneSlot)
{
    CPerformanceDataSchema schema(L"009");
    ExpectException([&] { schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 0, 25); },
                    L"CPerformanceDataSchema::Object::Object()", L"Max instances must be from 1 to 4294967294, it's: 0");
    ExpectException([&] { schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 0); },
                    L"CPerformanceDataSchema::Object::Object()", L"Max instances must be from 1 to 4294967294, it's: 0");
    // PERF_NO_INSTANCES would quietly make an object without instances.
    ExpectException([&] { schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 0xFFFFFFFF); },
                    L"CPerformanceDataSchema::Object::Object()",
                    L"Max instances must be from 1 to 4294967294, it's: 4294967295");
    EXPECT_EQ(0u, schema.GetObjectCount());
    schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 1, 25);
    schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 1);
    EXPECT_EQ(2u, schema.GetObjectCount());
}

TEST(SchemaCounters, RefuseADuplicateNameWithinOneObjectOnly)
{
    CPerformanceDataSchema schema(L"009");
    Object &first = schema.AddObject(L"First", L"help", PERF_DETAIL_NOVICE);
    Object &second = schema.AddObject(L"Second", L"help", PERF_DETAIL_NOVICE);
    first.AddCounter(L"Bytes In", L"help", PERF_DETAIL_NOVICE, -6, PERF_COUNTER_LARGE_RAWCOUNT);
    ExpectException([&] { first.AddCounter(L"Bytes In", L"other", PERF_DETAIL_EXPERT, 0, PERF_COUNTER_RAWCOUNT); },
                    L"CPerformanceDataSchema::Object::AddCounter()", L"Duplicate counter name: \"Bytes In\"");
    first.AddCounter(L"bytes in", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    second.AddCounter(L"Bytes In", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);

    ASSERT_EQ(2u, first.GetCounters().size());
    const auto &counter = *first.GetCounters()[0];
    EXPECT_EQ(L"Bytes In", counter.GetName());
    EXPECT_EQ(static_cast<DWORD>(PERF_DETAIL_NOVICE), counter.GetDetailLevel());
    EXPECT_EQ(-6, counter.GetDefaultScale());
    EXPECT_EQ(static_cast<DWORD>(PERF_COUNTER_LARGE_RAWCOUNT), counter.GetCounterType());
    EXPECT_EQ(8u, counter.GetCounterSize());
    EXPECT_EQ(L"bytes in", first.GetCounters()[1]->GetName());
    EXPECT_EQ(1u, second.GetCounters().size());
}

TEST(SchemaCounters, DefaultCounterIsTheOneAddedLastAndIsChosenOnce)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObject(L"Server", L"help", PERF_DETAIL_NOVICE);

    // Before any counter nothing is chosen, so choosing again later is still allowed.
    object.SetDefaultCounter();
    EXPECT_EQ(0u, object.GetDefaultCounter());

    object.AddCounter(L"A", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    object.AddCounter(L"B", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    object.SetDefaultCounter();
    EXPECT_EQ(2u, object.GetDefaultCounter());
    object.AddCounter(L"C", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    ExpectException([&] { object.SetDefaultCounter(); }, L"CPerformanceDataSchema::Object::SetDefaultCounter()",
                    L"Default counter already set to: 2");
    EXPECT_EQ(2u, object.GetDefaultCounter());
}

TEST(SchemaLanguages, RefuseTheDefaultLanguageAgainAtEveryLevel)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObject(L"Server", L"Totals", PERF_DETAIL_NOVICE);

    ExpectException([&] { object.AddCounterSupportedLanguage(L"007", L"Ein", L"Empfangen"); },
                    L"CPerformanceDataSchema::Object::AddCounterSupportedLanguage()", L"No counter added yet");
    object.AddCounter(L"In", L"Received", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);

    ExpectException([&] { schema.AddSupportedLanguage(L"009"); }, L"CPerformanceDataSchema::AddSupportedLanguage()",
                    L"Duplicate language id: \"009\"");
    ExpectException([&] { object.AddSupportedLanguage(L"009", L"x", L"y"); },
                    L"CPerformanceDataSchema::Object::AddSupportedLanguage()", L"Duplicate language id: \"009\"");
    ExpectException([&] { object.AddCounterSupportedLanguage(L"009", L"x", L"y"); },
                    L"CPerformanceDataSchema::Object::Counter::AddSupportedLanguage()",
                    L"Duplicate language id: \"009\"");

    schema.AddSupportedLanguage(L"007");
    object.AddSupportedLanguage(L"007", L"Rechner", L"Summen");
    object.AddCounterSupportedLanguage(L"007", L"Ein", L"Empfangen");
    ExpectException([&] { schema.AddSupportedLanguage(L"007"); }, L"CPerformanceDataSchema::AddSupportedLanguage()",
                    L"Duplicate language id: \"007\"");
    ExpectException([&] { object.AddCounterSupportedLanguage(L"007", L"x", L"y"); },
                    L"CPerformanceDataSchema::Object::Counter::AddSupportedLanguage()",
                    L"Duplicate language id: \"007\"");

    // The first texts given in a language stay.
    EXPECT_EQ(L"Rechner", object.GetName(L"007"));
    EXPECT_EQ(L"Ein", object.GetCounters()[0]->GetName(L"007"));
}

TEST(SchemaLanguages, TextsFallBackToTheOwnLanguage)
{
    CPerformanceDataSchema schema(L"009");
    Object &object = schema.AddObject(L"Server", L"Totals", PERF_DETAIL_NOVICE);
    object.AddSupportedLanguage(L"007", L"Rechner", L"Summen");
    object.AddCounter(L"In", L"Received", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    object.AddCounterSupportedLanguage(L"007", L"Ein", L"Empfangen");
    object.AddCounter(L"Out", L"Sent", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);

    EXPECT_EQ(L"Server", object.GetName());
    EXPECT_EQ(L"Totals", object.GetHelp());
    EXPECT_EQ(L"Rechner", object.GetName(L"007"));
    EXPECT_EQ(L"Summen", object.GetHelp(L"007"));
    EXPECT_EQ(L"Server", object.GetName(L"00C"));
    EXPECT_EQ(L"Totals", object.GetHelp(L"00C"));

    Strings names = {L"stale"};
    object.GetCounterNames(L"007", names);
    EXPECT_EQ((Strings{L"Ein", L"Out"}), names);
    object.GetCounterHelp(L"007", names);
    EXPECT_EQ((Strings{L"Empfangen", L"Sent"}), names);
    object.GetCounterNames(names);
    EXPECT_EQ((Strings{L"In", L"Out"}), names);
    object.GetCounterHelp(names);
    EXPECT_EQ((Strings{L"Received", L"Sent"}), names);
}

TEST(SchemaLanguages, AreListedInOrdinalOrder)
{
    CPerformanceDataSchema schema(L"009");
    // Code unit order: upper case before lower case, a prefix before its extensions, and
    // code units from 0x8000 up after ASCII (they are unsigned).
    schema.AddSupportedLanguage(L"\x8000");
    schema.AddSupportedLanguage(L"a");
    schema.AddSupportedLanguage(L"B");
    schema.AddSupportedLanguage(L"00");
    schema.AddSupportedLanguage(L"0099");

    Strings languages = {L"stale"};
    schema.GetSupportedLanguages(languages);
    EXPECT_EQ((Strings{L"00", L"009", L"0099", L"B", L"a", L"\x8000"}), languages);
}

TEST(SchemaSizes, FollowCountersInstancesAndNameSpace)
{
    CPerformanceDataSchema schema(L"009");
    Object &plain = schema.AddObject(L"Plain", L"help", PERF_DETAIL_NOVICE);
    for (int i = 0; i < 5; ++i)
    {
        plain.AddCounter(L"C" + std::to_wstring(i), L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    }
    EXPECT_EQ(64u + 40 * 5, plain.GetDefinitionSize());
    EXPECT_EQ(8u * 5, plain.GetCounterDataSize());
    EXPECT_EQ(64u + 40 * 5 + 8 * 5, plain.GetRequiredSize());

    Object &named = schema.AddObjectWithInstances(L"Named", L"help", PERF_DETAIL_NOVICE, 3, 25);
    for (int i = 0; i < 26; ++i)
    {
        named.AddCounter(L"C" + std::to_wstring(i), L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    }
    EXPECT_EQ(1332u, named.GetDefinitionSize());
    EXPECT_EQ(624u, named.GetCounterDataSize());
    EXPECT_EQ(1956u, named.GetRequiredSize());

    Object &numbered = schema.AddObjectWithInstances(L"Numbered", L"help", PERF_DETAIL_NOVICE, 4);
    for (int i = 0; i < 3; ++i)
    {
        numbered.AddCounter(L"C" + std::to_wstring(i), L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    }
    EXPECT_EQ(64u + 120 + 24 * 4, numbered.GetDefinitionSize());
    EXPECT_EQ(96u, numbered.GetCounterDataSize());

    EXPECT_EQ(264u + 1332 + 280, schema.GetObjectDefinitionsSize());
    EXPECT_EQ(40u + 624 + 96, schema.GetCounterDataSize());
    EXPECT_EQ(264u + 1332 + 280 + 40 + 624 + 96, schema.GetRequiredSize());
}

// A size that wrapped round in 32 bits would make the shared block smaller than what is written into it.
TEST(SchemaSizes, RefuseSizesBeyondThirtyTwoBits)
{
    CPerformanceDataSchema schema(L"009");
    Object &slots = schema.AddObjectWithInstances(L"Many slots", L"help", PERF_DETAIL_NOVICE, 0x10000000, 25);
    slots.AddCounter(L"C", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    // 76 x 0x10000000 + 104 = 20401094760.
    ExpectException([&] { slots.GetDefinitionSize(); }, L"CPerformanceDataSchema::Object::GetDefinitionSize()",
                    L"Size does not fit in 32 bits: 20401094760");
    ExpectException([&] { schema.GetRequiredSize(); }, L"CPerformanceDataSchema::Object::GetDefinitionSize()",
                    L"Size does not fit in 32 bits: 20401094760");

    CPerformanceDataSchema data(L"009");
    Object &values = data.AddObjectWithInstances(L"Many values", L"help", PERF_DETAIL_NOVICE, 0x10000000);
    values.AddCounter(L"A", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    values.AddCounter(L"B", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    ExpectException([&] { values.GetCounterDataSize(); }, L"CPerformanceDataSchema::Object::GetCounterDataSize()",
                    L"Size does not fit in 32 bits: 4294967296");

    // Each object fits, and so do all definitions and all values; definitions and values together do not.
    CPerformanceDataSchema sum(L"009");
    for (int i = 0; i < 4; ++i)
    {
        Object &object = sum.AddObjectWithInstances(L"O" + std::to_wstring(i), L"help", PERF_DETAIL_NOVICE, 0x02000000);
        object.AddCounter(L"A", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
        object.AddCounter(L"B", L"help", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
        EXPECT_EQ(0x50000000u + 144, object.GetRequiredSize());
    }
    EXPECT_EQ(0xC0000000u + 576, sum.GetObjectDefinitionsSize());
    EXPECT_EQ(0x80000000u, sum.GetCounterDataSize());
    ExpectException([&] { sum.GetRequiredSize(); }, L"CPerformanceDataSchema::GetRequiredSize()",
                    L"Size does not fit in 32 bits: 5368709696");

    ExpectException([&] { schema.AddObjectWithInstances(L"Long names", L"help", PERF_DETAIL_NOVICE, 1, 0x7FFFFFF6); },
                    L"CPerformanceDataSchema::Object::Object()",
                    L"Max instance name length is too long, it's: 2147483638");
}
