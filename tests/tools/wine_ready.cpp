// Brings up the Wine session's desktop process, and returns once it runs.
// Wine starts it on first use, and it then inherits the first user's Unix
// output: were that a test process, ctest would wait on its pipe until the
// session ends. Run with output on /dev/null before the tests.
#include <windows.h>

int main() {
    // The first call starts the desktop process and waits until it is idle.
    return GetDesktopWindow() && IsWindow(GetDesktopWindow()) ? 0 : 1;
}
