// 100 sleeps of 10 ms, as the polls sleep, timed with the performance
// counter; prints the total in milliseconds. Built for Windows only.
#include <windows.h>

#include <cstdio>

#include "platform.h"

int main() {
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < 100; ++i) plat_sleep_ms(10);
    QueryPerformanceCounter(&end);
    long ms = static_cast<long>((end.QuadPart - start.QuadPart) * 1000 / freq.QuadPart);
    std::printf("%ld\n", ms);
    return 0;
}
