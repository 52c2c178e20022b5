// movewindow CAPTION DX DY: moves the top-level window called CAPTION by DX,
// DY pixels, as Windows itself moves it (SetWindowPos), so that the program
// that owns the window sees the move. The Wine stage's second helper: Wine 10
// takes no notice of a move made from outside on the X display.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t* argv[])
{
    if (argc != 4) {
        std::fputs("usage: movewindow CAPTION DX DY\n", stderr);
        return 2;
    }
    HWND window = FindWindowW(nullptr, argv[1]);
    RECT place{};
    if (window == nullptr || !GetWindowRect(window, &place)) {
        std::fprintf(stderr, "movewindow: no window \"%ls\"\n", argv[1]);
        return 1;
    }
    const int x = place.left + static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    const int y = place.top + static_cast<int>(std::wcstol(argv[3], nullptr, 10));
    if (!SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)) {
        std::fprintf(stderr, "movewindow: error %lu\n", GetLastError());
        return 1;
    }
    return 0;
}
