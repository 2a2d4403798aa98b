// The entry point of a program built on the framework. It is compiled into
// the program itself (not into a library), so that the linker always finds it.
#include "Framework.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow) {
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
