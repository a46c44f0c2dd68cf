#include "win32/SEHException.h"

namespace Halyard {
namespace Win32 {

namespace {

struct CCodeName
{
    DWORD code;
    const wchar_t *name;
};

const CCodeName kCodeNames[] = {
    {0xC0000005, L"ACCESS_VIOLATION"},
    {0x80000002, L"DATATYPE_MISALIGNMENT"},
    {0x80000003, L"BREAKPOINT"},
    {0x80000004, L"SINGLE_STEP"},
    {0xC000008C, L"ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, L"FLT_DENORMAL_OPERAND"},
    {0xC000008E, L"FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, L"FLT_INEXACT_RESULT"},
    {0xC0000090, L"FLT_INVALID_OPERATION"},
    {0xC0000091, L"FLT_OVERFLOW"},
    {0xC0000092, L"FLT_STACK_CHECK"},
    {0xC0000093, L"FLT_UNDERFLOW"},
    {0xC0000094, L"INT_DIVIDE_BY_ZERO"},
    {0xC0000095, L"INT_OVERFLOW"},
    {0xC0000096, L"PRIV_INSTRUCTION"},
    {0xC0000006, L"IN_PAGE_ERROR"},
    {0xC000001D, L"ILLEGAL_INSTRUCTION"},
    {0xC0000025, L"NONCONTINUABLE_EXCEPTION"},
    {0xC00000FD, L"STACK_OVERFLOW"},
    {0xC0000026, L"INVALID_DISPOSITION"},
    {0x80000001, L"GUARD_PAGE"},
    {0xC0000008, L"INVALID_HANDLE"},
};

} // namespace

std::wstring CSEHException::GetMessage() const
{
    for (const CCodeName &entry : kCodeNames)
    {
        if (entry.code == m_code)
        {
            return entry.name;
        }
    }
    return L"Unknown exception";
}

} // namespace Win32
} // namespace Halyard
