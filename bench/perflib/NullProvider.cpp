// A provider that answers nothing: the baseline for what one performance-library query costs with a
// provider loaded, opened, asked and closed, against the same query with the TARN module.
#include <windows.h>

extern "C" {

DWORD WINAPI PerfData_Open(LPWSTR)
{
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Collect(LPWSTR, LPVOID *, LPDWORD bytes, LPDWORD objects)
{
    *bytes = 0;
    *objects = 0;
    return ERROR_SUCCESS;
}

DWORD WINAPI PerfData_Close()
{
    return ERROR_SUCCESS;
}

} // extern "C"
