#include "perfmon/schema/CounterStorageAllocator.h"
#include "perfmon/installer/CounterTextFile.h"
#include "provider/TarnCounterSet.h"
#include "tests/install/ImageTestSupport.h"
#include "tests/support/Expect.h"

#include <gtest/gtest.h>
#include <winperf.h>

using namespace Halyard;
using namespace Halyard::Testing;
using Halyard::PerfMon::CCounterStorageAllocator;
using Halyard::PerfMon::CCounterTextFile;
using Halyard::PerfMon::CPerformanceDataSchema;

namespace {

// Two objects in two languages, with names outside ASCII and a help text over two lines.
CPerformanceDataSchema TwoLanguageSchema()
{
    CPerformanceDataSchema schema(L"009");
    schema.AddSupportedLanguage(L"007");
    CPerformanceDataSchema::Object &first = schema.AddObject(L"Queue", L"The queue", PERF_DETAIL_NOVICE);
    first.AddSupportedLanguage(L"007", L"Warteschlange", L"Die Warteschlange");
    first.AddCounter(L"Size", L"Entries waiting\r\nnow", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    first.AddCounterSupportedLanguage(L"007", L"Gr\u00f6\u00dfe", L"Wartende Eintr\u00e4ge");
    first.AddCounter(L"Rate", L"Entries per second", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_COUNTER);
    CPerformanceDataSchema::Object &second =
        schema.AddObjectWithInstances(L"Workers", L"The workers", PERF_DETAIL_NOVICE, 4, 16);
    second.AddCounter(L"Busy", L"Busy workers", PERF_DETAIL_NOVICE, 0, PERF_COUNTER_RAWCOUNT);
    return schema;
}

} // namespace

// The loader's index of each name is the first counter + the symbol's offset: exactly the index
// the data block writes into the definitions, object after object.
TEST(CounterTextFile, SymbolOffsetsAreTheDataBlocksTitleIndexes)
{
    for (const bool tarn : {true, false})
    {
        const CPerformanceDataSchema schema = tarn ? CreateTarnCounterSet() : TwoLanguageSchema();
        const CCounterTextFile file(schema, L"TARN");
        const DWORD first = 7000;
        DWORD titleIndex = first;
        CCounterStorageAllocator allocator(schema.GetCounterDataSize());
        size_t symbol = 0;
        for (const auto &object : schema.GetObjects())
        {
            std::vector<BYTE> buffer(object->GetDefinitionSize());
            object->WriteTo(buffer.data(), static_cast<DWORD>(buffer.size()), titleIndex, allocator);
            const PERF_OBJECT_TYPE *type = reinterpret_cast<const PERF_OBJECT_TYPE *>(buffer.data());
            const CCounterTextFile::Symbol &objectSymbol = file.GetSymbols().at(symbol++);
            EXPECT_EQ(nullptr, objectSymbol.counter);
            EXPECT_EQ(type->ObjectNameTitleIndex, first + objectSymbol.offset);
            EXPECT_EQ(type->ObjectHelpTitleIndex, first + objectSymbol.offset + 1);
            const PERF_COUNTER_DEFINITION *counter =
                reinterpret_cast<const PERF_COUNTER_DEFINITION *>(buffer.data() + type->HeaderLength);
            for (DWORD i = 0; i < type->NumCounters; ++i, ++counter)
            {
                const CCounterTextFile::Symbol &counterSymbol = file.GetSymbols().at(symbol++);
                EXPECT_EQ(object->GetCounters().at(i).get(), counterSymbol.counter);
                EXPECT_EQ(counter->CounterNameTitleIndex, first + counterSymbol.offset);
                EXPECT_EQ(counter->CounterHelpTitleIndex, first + counterSymbol.offset + 1);
            }
        }
        EXPECT_EQ(file.GetSymbols().size(), symbol);
    }
}

// The files as the system's profile reader sees them, the UTF-16 names included.
TEST(CounterTextFile, WritesTheLoadersInitialisationFileAndHeader)
{
    const CPerformanceDataSchema schema = TwoLanguageSchema();
    const CCounterTextFile writer(schema, L"My-App");
    const CTempFile ini(L"HalyardCounters", L".ini");
    const CTempFile header(L"HalyardSymbols", L".h");
    writer.Write(ini.Path(), header.Path());

    const std::vector<BYTE> bytes = Win32::LoadFileAsBinaryData(ini.Path());
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(0xFF, bytes[0]);
    EXPECT_EQ(0xFE, bytes[1]);
    const std::wstring headerName = header.Path().substr(header.Path().find_last_of(L'\\') + 1);
    const wchar_t *const entries[][3] = {
        {L"info", L"drivername", L"My-App"},
        {L"info", L"symbolfile", headerName.c_str()},
        {L"languages", L"009", L"English"},
        {L"languages", L"007", L"German"},
        {L"objects", L"MY_APP_OBJECT_1_009_NAME", L"Queue"},
        {L"objects", L"MY_APP_OBJECT_1_007_NAME", L"Warteschlange"},
        {L"objects", L"MY_APP_OBJECT_2_007_NAME", L"Workers"},
        {L"text", L"MY_APP_OBJECT_1_COUNTER_1_007_NAME", L"Gr\u00f6\u00dfe"},
        {L"text", L"MY_APP_OBJECT_1_COUNTER_1_009_HELP", L"Entries waiting  now"},
        // A counter without German texts carries its own language's in the German section.
        {L"text", L"MY_APP_OBJECT_1_COUNTER_2_007_NAME", L"Rate"},
        {L"text", L"MY_APP_OBJECT_2_COUNTER_1_009_HELP", L"Busy workers"}};
    for (const auto &entry : entries)
    {
        wchar_t value[512] = {};
        ::GetPrivateProfileStringW(entry[0], entry[1], L"<missing>", value, 512, ini.Path().c_str());
        EXPECT_EQ(std::wstring(entry[2]), value) << entry[1];
    }

    const std::string text = Win32::LoadFileAsString(header.Path());
    for (const char *line : {"#define MY_APP_OBJECT_1 0\r\n", "#define MY_APP_OBJECT_1_COUNTER_2 4\r\n",
                             "#define MY_APP_OBJECT_2 6\r\n", "#define MY_APP_OBJECT_2_COUNTER_1 8\r\n"})
    {
        EXPECT_NE(std::string::npos, text.find(line)) << line;
    }
    EXPECT_EQ(std::string::npos, text.find("#define MY_APP_OBJECT_2_COUNTER_2"));

    CPerformanceDataSchema invalid(L"009");
    invalid.AddObject(L"Empty", L"No counters", PERF_DETAIL_NOVICE);
    EXPECT_THROW(CCounterTextFile(invalid, L"App"), Win32::CException);
}

// A file or link planted under either name beforehand is never written through.
TEST(CounterTextFile, RefusesFilesThatExistAlready)
{
    const CPerformanceDataSchema schema = TwoLanguageSchema();
    const CCounterTextFile writer(schema, L"My-App");
    const CTempFile ini(L"HalyardCounters", L".ini");
    const CTempFile header(L"HalyardSymbols", L".h");
    const std::vector<BYTE> planted = {'x'};
    for (const CTempFile *existing : {&header, &ini})
    {
        ::DeleteFileW(header.Path().c_str());
        WriteBytes(*existing, planted);
        ExpectWin32Exception([&] { writer.Write(ini.Path(), header.Path()); },
                             L"CCounterTextFile::Write() - \"" + existing->Path() + L"\"", ERROR_FILE_EXISTS);
        EXPECT_EQ(planted, Win32::LoadFileAsBinaryData(existing->Path()));
    }
}
