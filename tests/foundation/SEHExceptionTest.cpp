#include "win32/SEHException.h"

#include "crashdiag/CrashDump.h"
#include "crashdiag/FaultDiagnostics.h"
#include "tests/support/Faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace Halyard::Win32;
using namespace Halyard::Testing;

namespace {

// These tests fault on purpose: no dumps of them beside the test program.
class CNoCrashDumps : public ::testing::Environment
{
public:
    void SetUp() override
    {
        InstallFaultDiagnostics();
        DisableCrashDumps();
    }
};

::testing::Environment *const g_noCrashDumps = ::testing::AddGlobalTestEnvironment(new CNoCrashDumps);

// A software exception that the test's own last-chance handler dismisses.
const DWORD kTestException = 0xE0001234;

volatile int g_zero = 0;

volatile int g_quotient = 0;

// RaiseException raises inside a system module. The x86 unwinder knows only this module's frames and
// could not leave that one, so there the exception is passed on as if no scope were active.
const bool kRaisedExceptionsTranslated = sizeof(void *) == 8;

__attribute__((noinline)) void RaiseTestException()
{
    ::RaiseException(kTestException, 0, 0, nullptr);
}

__attribute__((noinline)) void CallThroughNull()
{
    void (*volatile function)() = nullptr;
    function();
}

struct CReleasePages
{
    void operator()(void *pages) const { ::VirtualFree(pages, 0, MEM_RELEASE); }
};

// The first touch of a guard page faults, as the one below a growing stack does.
__attribute__((noinline)) void TouchGuardPage()
{
    const std::unique_ptr<void, CReleasePages> page(
        ::VirtualAlloc(nullptr, 1, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE | PAGE_GUARD));
    *static_cast<volatile BYTE *>(page.get()) = 1;
}

DWORD_PTR &InstructionPointer(CONTEXT &context)
{
#if defined(__x86_64__)
    return context.Rip;
#else
    return context.Eip;
#endif
}

// Runs the call under a translator and reports the code of the CSEHException it threw (0 if none).
DWORD TranslatedCode(const std::function<void()> &call)
{
    try
    {
        CSEHException::Translator translator;
        call();
    }
    catch (const CSEHException &e)
    {
        return e.GetCode();
    }
    return 0;
}

// The test's own vectored handler, called after the translator's: counts and dismisses
// kTestException, and steps over breakpoints.
std::atomic<int> g_dismissed{0};

LONG CALLBACK DismissTestExceptions(EXCEPTION_POINTERS *pointers)
{
    const DWORD code = pointers->ExceptionRecord->ExceptionCode;
    if (code != kTestException && code != EXCEPTION_BREAKPOINT)
    {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    ++g_dismissed;
    DWORD_PTR &ip = InstructionPointer(*pointers->ContextRecord);
    if (code == EXCEPTION_BREAKPOINT && *reinterpret_cast<const BYTE *>(ip) == 0xCC)
    {
        ++ip;
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

class CSEHTranslatorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Makes sure the translator's own handler is installed first, so this one comes after it.
        { CSEHException::Translator translator; }
        m_handler = ::AddVectoredExceptionHandler(0, DismissTestExceptions);
        g_dismissed = 0;
    }
    void TearDown() override { ::RemoveVectoredExceptionHandler(m_handler); }

    // True when the raised exception reached the handlers after the translator's.
    static bool RaiseReachesOtherHandlers()
    {
        const int before = g_dismissed;
        ::RaiseException(kTestException, 0, 0, nullptr);
        return g_dismissed == before + 1;
    }

private:
    void *m_handler = nullptr;
};

} // namespace

// Each fault arrives with its code and name, and with where it happened as the where-text; the
// records stay usable in the catch, after the faulting frames have been left.
TEST_F(CSEHTranslatorTest, FaultsArriveWithTheirCodeNameAndAddress)
{
    struct Case
    {
        void (*call)();
        DWORD code;
        const wchar_t *name;
    };
    std::vector<Case> cases = {
        {WriteThroughNull, EXCEPTION_ACCESS_VIOLATION, L"ACCESS_VIOLATION"},
        {CallThroughNull, EXCEPTION_ACCESS_VIOLATION, L"ACCESS_VIOLATION"},
        {TouchGuardPage, EXCEPTION_GUARD_PAGE, L"GUARD_PAGE"},
        {[] { g_quotient = 7 / g_zero; }, EXCEPTION_INT_DIVIDE_BY_ZERO, L"INT_DIVIDE_BY_ZERO"},
        {[] { asm volatile("ud2"); }, EXCEPTION_ILLEGAL_INSTRUCTION, L"ILLEGAL_INSTRUCTION"},
        {[] { asm volatile("hlt"); }, EXCEPTION_PRIV_INSTRUCTION, L"PRIV_INSTRUCTION"},
    };
    if (kRaisedExceptionsTranslated)
    {
        cases.push_back({RaiseTestException, kTestException, L"Unknown exception"});
    }
    for (const auto &c : cases)
    {
        try
        {
            CSEHException::Translator translator;
            c.call();
            ADD_FAILURE() << "no exception for " << std::hex << c.code;
        }
        catch (const CSEHException &e)
        {
            EXPECT_EQ(c.code, e.GetCode());
            EXPECT_EQ(c.name, e.GetMessage());
            ASSERT_NE(nullptr, e.GetExceptionPointers());
            const EXCEPTION_RECORD &record = *e.GetExceptionPointers()->ExceptionRecord;
            EXPECT_EQ(c.code, record.ExceptionCode);
            const DWORD_PTR address = reinterpret_cast<DWORD_PTR>(record.ExceptionAddress);
            wchar_t expected[16];
            swprintf(expected, 16, L"0x%.8x", static_cast<unsigned int>(address));
            EXPECT_EQ(expected, e.GetWhere());
            if (c.code != kTestException)
            {
                EXPECT_EQ(address, InstructionPointer(*e.GetContext())) << std::hex << c.code;
            }
        }
    }
}

namespace {

__attribute__((noinline)) void CallWriteThroughNull(volatile int &after)
{
    WriteThroughNull();
    after = 1;
}

__attribute__((noinline)) void CallCallThroughNull(volatile int &after)
{
    CallThroughNull();
    after = 1;
}

} // namespace

// By the time the catch asks, the faulting frames have been left and their stack reused: the
// walk still finds them, with the test's own function names.
TEST_F(CSEHTranslatorTest, CallStackNamesTheFaultingFunctionsInnermostFirst)
{
    const struct
    {
        void (*call)(volatile int &);
        const wchar_t *innermost;
        const wchar_t *caller;
    } cases[] = {
        {CallWriteThroughNull, L"foundation_tests!Halyard::Testing::WriteThroughNull()+0x",
         L"CallWriteThroughNull(int volatile&)+0x"},
        // Nothing lies at address 0: the first frame is a bare address, its caller a named one
        // (CallThroughNull, or its caller when it jumps to the pointer instead of calling it).
        {CallCallThroughNull, L"0x0", L"CallThroughNull"},
    };
    for (const auto &c : cases)
    {
        std::wstring stack;
        volatile int after = 0;
        try
        {
            CSEHException::Translator translator;
            c.call(after);
        }
        catch (const CSEHException &e)
        {
            stack = e.GetCallStack();
        }
        std::vector<std::wstring> frames;
        std::wistringstream lines(stack);
        for (std::wstring frame; std::getline(lines, frame);)
        {
            frames.push_back(frame);
        }
        ASSERT_GE(frames.size(), 3u) << stack;
        EXPECT_EQ(0u, frames[0].find(c.innermost)) << stack;
        EXPECT_EQ(0u, frames[1].find(L"foundation_tests!(anonymous namespace)::")) << stack;
        EXPECT_NE(std::wstring::npos, frames[1].find(c.caller)) << stack;
        // And further out, the test itself.
        EXPECT_TRUE(std::any_of(frames.begin() + 2, frames.end(), [](const std::wstring &frame) {
            return frame.find(L"foundation_tests!CSEHTranslatorTest_CallStackNames") == 0;
        })) << stack;
        EXPECT_EQ(0, after);
    }
}

namespace {

struct CCountOnDestruction
{
    int &destroyed;
    ~CCountOnDestruction() { ++destroyed; }
};

__attribute__((noinline)) void FaultWithLocal(int &destroyed)
{
    CCountOnDestruction guard{destroyed};
    *g_nullPointer = 2;
}

__attribute__((noinline)) void CallFaultWithLocal(int &destroyed)
{
    CCountOnDestruction guard{destroyed};
    FaultWithLocal(destroyed);
}

__attribute__((noinline)) void ExecuteIllegal()
{
    asm volatile("ud2");
}

// Called through a pointer the compiler cannot see through, so that each frame keeps its cleanup.
void (*volatile g_raise)() = nullptr;

__attribute__((noinline)) void InnerWithLocal(int &destroyed)
{
    CCountOnDestruction guard{destroyed};
    g_raise();
}

__attribute__((noinline)) void OuterWithLocal(int &destroyed)
{
    CCountOnDestruction guard{destroyed};
    InnerWithLocal(destroyed);
}

// Translates what the function raises two frames down and checks the way back: the code, both
// frames' destructors, and a call stack that names the frames on the way.
void ExpectUnwoundAndNamed(void (*raise)(), DWORD code)
{
    g_raise = raise;
    int destroyed = 0;
    std::wstring stack;
    try
    {
        CSEHException::Translator translator;
        OuterWithLocal(destroyed);
        ADD_FAILURE() << "no exception";
    }
    catch (const CSEHException &e)
    {
        EXPECT_EQ(code, e.GetCode());
        stack = e.GetCallStack();
    }
    EXPECT_EQ(2, destroyed);
    for (const wchar_t *function : {L"InnerWithLocal(int&)", L"OuterWithLocal(int&)"})
    {
        EXPECT_NE(std::wstring::npos, stack.find(function)) << stack;
    }
}

} // namespace

// A fault that is no memory fault takes the same way as one, from the handler through the thrower
// and the unwinding of each frame.
TEST_F(CSEHTranslatorTest, IllegalInstructionsUnwindTheirFramesAndNameThem)
{
    ExpectUnwoundAndNamed(ExecuteIllegal, EXCEPTION_ILLEGAL_INSTRUCTION);
}

// The same for an exception raised inside the system's own modules, which the unwinding has to
// leave behind; where it cannot, the handlers after the translator's get the exception.
TEST_F(CSEHTranslatorTest, RaisedExceptionsUnwindTheirFramesAndNameThem)
{
    if (kRaisedExceptionsTranslated)
    {
        ExpectUnwoundAndNamed(RaiseTestException, kTestException);
        return;
    }
    CSEHException::Translator translator;
    EXPECT_TRUE(RaiseReachesOtherHandlers());
    EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, TranslatedCode(WriteThroughNull));
}

TEST_F(CSEHTranslatorTest, DestructorsOfTheFaultingFramesRun)
{
    int destroyed = 0;
    EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, TranslatedCode([&] { CallFaultWithLocal(destroyed); }));
    EXPECT_EQ(2, destroyed);
}

// C++ exceptions, debugger output and breakpoints are not faults: they reach their own handlers,
// and so do exceptions raised on other threads.
TEST_F(CSEHTranslatorTest, WhatIsNotAFaultOfThisThreadIsLeftToOthers)
{
    CSEHException::Translator translator;
    EXPECT_THROW(throw std::runtime_error("plain"), std::runtime_error);
    EXPECT_NO_THROW(::OutputDebugStringW(L"translator test: debugger output inside a translator scope\n"));
    EXPECT_NO_THROW(::OutputDebugStringA("translator test: narrow debugger output\n"));
    const int before = g_dismissed;
    EXPECT_NO_THROW(__debugbreak());
    EXPECT_EQ(before + 1, g_dismissed);

    // Translated there, the exception would end the program uncaught.
    bool reached = false;
    std::thread([&] { reached = RaiseReachesOtherHandlers(); }).join();
    EXPECT_TRUE(reached);
}

TEST_F(CSEHTranslatorTest, ExceptionsAreTranslatedOnlyInsideAScope)
{
    EXPECT_TRUE(RaiseReachesOtherHandlers());
    EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, TranslatedCode(WriteThroughNull));
    // The scope has ended and the thread had none before: nothing is translated any more.
    EXPECT_TRUE(RaiseReachesOtherHandlers());

    // A nested scope's end restores the outer one.
    {
        CSEHException::Translator outer;
        {
            CSEHException::Translator inner;
        }
        EXPECT_THROW(WriteThroughNull(), CSEHException);
        if (kRaisedExceptionsTranslated)
        {
            EXPECT_THROW(::RaiseException(kTestException, 0, 0, nullptr), CSEHException);
        }
        EXPECT_EQ(EXCEPTION_ACCESS_VIOLATION, TranslatedCode(WriteThroughNull));
        EXPECT_THROW(WriteThroughNull(), CSEHException);
    }
    EXPECT_TRUE(RaiseReachesOtherHandlers());
}

TEST_F(CSEHTranslatorTest, StackOverflowArrivesAndCanHappenAgain)
{
    DWORD codes[2] = {};
    std::wstring callStack;
    std::thread([&] {
        for (DWORD &code : codes)
        {
            try
            {
                CSEHException::Translator translator;
                Recurse(0);
            }
            catch (const CSEHException &e)
            {
                code = e.GetCode();
                callStack = e.GetCallStack();
            }
        }
    }).join();
    EXPECT_EQ(EXCEPTION_STACK_OVERFLOW, codes[0]);
    EXPECT_EQ(EXCEPTION_STACK_OVERFLOW, codes[1]);
    EXPECT_EQ(L"No callstack possible from EXCEPTION_STACK_OVERFLOW", callStack);
}
