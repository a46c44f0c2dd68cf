#include <windows.h>

// Writes every argument as one line on the debugger channel, then exits.
int wmain(int argc, wchar_t **argv)
{
    for (int i = 1; i < argc; ++i)
    {
        ::OutputDebugStringW(argv[i]);
    }
    return 0;
}
