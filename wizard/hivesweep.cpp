#include <windows.h>

// The wizard's windows are not built yet; the program starts and ends at once.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return 0; }
