#pragma once

#include <windows.h>

#include <string>

namespace Halyard {
namespace Win32 {

// A structured (processor or system) exception that arrived as a C++ exception. The exception
// pointers refer to copies kept for the faulting thread: they are valid while the exception is
// being handled, until the thread's next translated fault.
class CSEHException
{
public:
    class Translator;

    CSEHException(unsigned int code, EXCEPTION_POINTERS *pointers);
    // The copies of a translated fault are counted: when the last of them goes, the fault has left
    // the code that raised it, and the dump it asked for is written.
    CSEHException(const CSEHException &other);
    CSEHException &operator=(const CSEHException &other);
    ~CSEHException();

    unsigned int GetCode() const;
    EXCEPTION_POINTERS *GetExceptionPointers() const;

    // The fault address as "0x" and eight lower-case hexadecimal digits.
    std::wstring GetWhere() const;
    // The name of the exception code, or "Unknown exception".
    std::wstring GetMessage() const;
    // The faulting thread's frames, one a line, innermost first: "module!function+0x1a" or, without
    // a symbol, "module+0x1234". A stack overflow leaves no stack to walk and gives a fixed text;
    // a process that registered no call-stack hook (see FaultHooks.h) gets an empty one.
    std::wstring GetCallStack() const;
    CONTEXT *GetContext() const;

private:
    unsigned int m_code;
    EXCEPTION_POINTERS *m_pointers;
};

// While one of these scopes is alive on a thread, a structured exception raised on that thread
// and not claimed by a structured handler of other code on the way is thrown as a CSEHException
// from the faulting instruction, so destructors of the frames it leaves run. Breakpoints, single
// steps, debugger output and C++ exceptions are never translated. On x86 neither is an exception
// raised in code without this module's unwind information (a system module's, RaiseException's
// included): it goes on to the handlers after this one, since no throw could leave those frames.
// Scopes nest; when the outermost one ends the thread is left exactly as it was found. A scope marks
// a boundary, such as a module's entry point, that no lock of the code inside is held across: when it
// ends, the dumps that faults inside it asked for are written.
class CSEHException::Translator
{
public:
    Translator();
    ~Translator();

    Translator(const Translator &) = delete;
    Translator &operator=(const Translator &) = delete;

private:
    const Translator *m_previous;
};

} // namespace Win32
} // namespace Halyard
