// entry.cpp - the process entry point, without the C runtime's start-up code
//
// The setup has no static constructors and uses only msvcrt.dll's functions,
// which that DLL initialises itself, so the compiler runtime's start-up code
// (about a third of the program) is left out and this calls WinMain directly.

#include <windows.h>

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);

extern "C" void WINAPI WinMainCRTStartup(void)
{
    ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, GetCommandLineA(), SW_SHOWDEFAULT));
}
