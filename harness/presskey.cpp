// presskey: after a delay, presses and releases the Escape key with SendInput.
//
// The end-to-end tests start it as a second process next to cardtool to cancel
// a call that waits for a card swipe. It prints "pressed" once the key is down,
// so the caller can time what follows, then the performance counter (seconds)
// just before and just after the key-down SendInput: "  clock: 1234.567890 1234.567990".
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {

bool SendKey(WORD key, DWORD flags) {
    INPUT input;
    ZeroMemory(&input, sizeof input);
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = key;
    input.ki.dwFlags = flags;
    return SendInput(1, &input, sizeof input) == 1;
}

double Seconds(const LARGE_INTEGER& ticks) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(ticks.QuadPart / frequency.QuadPart) +
           static_cast<double>(ticks.QuadPart % frequency.QuadPart) / static_cast<double>(frequency.QuadPart);
}

} // namespace

int main(int argc, char** argv) {
    char* end = NULL;
    const unsigned long delay = argc == 2 ? std::strtoul(argv[1], &end, 10) : 0;
    if (argc != 2 || *end != '\0' || argv[1][0] < '0' || argv[1][0] > '9') {
        std::fprintf(stderr, "usage: presskey DELAY_MS\n  presses and releases Escape after DELAY_MS milliseconds\n");
        return 2;
    }
    Sleep(static_cast<DWORD>(delay));
    LARGE_INTEGER before, after;
    QueryPerformanceCounter(&before);
    if (!SendKey(VK_ESCAPE, 0)) {
        std::printf("SendInput (key down) failed: error %lu\n", GetLastError());
        return 1;
    }
    QueryPerformanceCounter(&after);
    std::printf("pressed\n  clock: %.6f %.6f\n", Seconds(before), Seconds(after));
    std::fflush(stdout);
    // Held briefly, as a finger would, so a poller sees it down as well.
    Sleep(50);
    if (!SendKey(VK_ESCAPE, KEYEVENTF_KEYUP)) {
        std::printf("SendInput (key up) failed: error %lu\n", GetLastError());
        return 1;
    }
    std::printf("released\n");
    return 0;
}
