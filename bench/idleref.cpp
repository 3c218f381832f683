// idleref: the floor for idle cost. A process that does nothing but block on
// one event without a time-out, as cheaply as a Windows process can wait.
// It never returns by itself; the benchmark ends it.
#include <windows.h>

#include <cstdio>

int main() {
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (never == nullptr) {
        std::fprintf(stderr, "idleref: CreateEvent failed (%lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::printf("idleref waiting\n");
    std::fflush(stdout);
    WaitForSingleObject(never, INFINITE);
    CloseHandle(never);
    return 0;
}
