// Windows implementation of inc/platform.h (Windows Sockets 2 and the
// Win32 kernel; built with mingw-w64): sockets, clocks, waits, threads and
// console events. Workers: win32_child.cpp; files: win32_file.cpp.
#include "platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<plat_sleep_hook> g_sleep_hook{nullptr};
std::atomic<plat_clock_hook> g_clock_hook{nullptr};
plat_console_handler g_console_handler = nullptr;  // written before the system can call us
std::atomic<bool> g_console_event_seen{false};

// A machine on the local network answers a connect within milliseconds;
// the slice is how soon a pending one notices that the user wants out.
constexpr uint64_t kConnectSliceMs = 50;

// Windows calls this on a thread of its own for every console event.
BOOL WINAPI console_routine(DWORD type) {
    uint32_t event;
    switch (type) {
    case CTRL_C_EVENT:
        event = 0;
        break;
    case CTRL_BREAK_EVENT:
        event = 1;
        break;
    default:
        event = static_cast<uint32_t>(type);  // close, logoff, shutdown: all >= 2
        break;
    }
    g_console_event_seen.store(true, std::memory_order_release);
    g_console_handler(event);
    return TRUE;
}

DWORD WINAPI thread_trampoline(LPVOID arg) {
    plat_thread_fn fn = reinterpret_cast<plat_thread_fn>(arg);
    fn();
    return 0;
}

SOCKET as_socket(plat_socket s) { return static_cast<SOCKET>(s); }

// A worker holding our UDP socket would keep the port bound after we end.
void keep_from_workers(SOCKET s) { (void)SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0); }

}  // namespace

// WSAStartup counts its calls, so each caller may start the layer again.
int plat_sockets_startup(void) {
    WSADATA wsa;
    return WSAStartup(MAKEWORD(2, 2), &wsa) == 0 ? 0 : -1;
}

namespace {

// The system's words for a Windows Sockets error, as the POSIX side gives
// strerror's; a port held by another program reads alike on both.
void socket_reason(int err, char* why, size_t why_len) {
    if (why == nullptr || why_len == 0) return;
    if (err == WSAEADDRINUSE) {
        snprintf(why, why_len, "Address already in use");
        return;
    }
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(err), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), why,
                             static_cast<DWORD>(why_len), nullptr);
    while (n > 0 && strchr(" .\r\n", why[n - 1]) != nullptr) n--;
    why[n] = '\0';
    if (n == 0) snprintf(why, why_len, "error %d", err);
}

}  // namespace

plat_socket plat_udp_open_bound(uint16_t port) { return plat_udp_listen(port, nullptr, nullptr, 0); }

plat_socket plat_udp_listen(uint16_t port, bool* in_use, char* why, size_t why_len) {
    if (in_use != nullptr) *in_use = false;
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        socket_reason(WSAGetLastError(), why, why_len);
        return PLAT_INVALID_SOCKET;
    }
    keep_from_workers(s);
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    // As on Linux: an unbound socket is no socket, so the receive fails.
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int err = WSAGetLastError();
        closesocket(s);
        if (in_use != nullptr) *in_use = err == WSAEADDRINUSE;
        socket_reason(err, why, why_len);
        return PLAT_INVALID_SOCKET;
    }
    return static_cast<plat_socket>(s);
}

int plat_udp_grow_queue(plat_socket s, int bytes) {
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
    int granted = 0;
    int len = sizeof granted;
    if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&granted), &len) != 0) return 0;
    return granted;
}

int plat_udp_recv(plat_socket s, void* buf, size_t cap, uint32_t* from_addr) {
    sockaddr_in from{};
    int fromlen = sizeof from;
    int n = recvfrom(as_socket(s), static_cast<char*>(buf), static_cast<int>(cap), 0,
                     reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n != SOCKET_ERROR) {
        if (from_addr != nullptr) *from_addr = from.sin_addr.s_addr;
        return n;
    }
    // Windows fills the buffer, discards the datagram's rest and says so here.
    switch (WSAGetLastError()) {
    case WSAEMSGSIZE:
        return PLAT_RECV_OVERSIZE;
    case WSAEINTR:
        return PLAT_RECV_INTERRUPTED;
    default:
        return PLAT_RECV_ERROR;
    }
}

void plat_socket_error(char* why, size_t why_len) { socket_reason(WSAGetLastError(), why, why_len); }

plat_socket plat_tcp_socket(void) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return PLAT_INVALID_SOCKET;
    keep_from_workers(s);
    // Blocks and their CRC bytes go out in separate sends; Nagle's algorithm
    // with the peer's delayed acknowledgement would hold each block back.
    BOOL one = TRUE;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<plat_socket>(s);
}

namespace {

// Waits for a non-blocking connect to finish. 0 when connected.
int wait_connected(SOCKET s) {
    const uint64_t deadline = plat_now_ms() + PLAT_CONNECT_TIMEOUT_MS;
    for (;;) {
        const uint64_t now = plat_now_ms();
        if (now >= deadline) return -1;
        const uint64_t left = deadline - now;
        const long slice = static_cast<long>(left < kConnectSliceMs ? left : kConnectSliceMs);
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval tv{0, slice * 1000};
        int n = select(0, nullptr, &writable, &failed, &tv);
        if (n == SOCKET_ERROR) return -1;
        if (n > 0) return FD_ISSET(s, &writable) ? 0 : -1;  // a refusal shows as failed
        if (g_console_event_seen.load(std::memory_order_acquire)) return -1;
    }
}

}  // namespace

int plat_tcp_connect(plat_socket s, const plat_sockaddr_in* to) {
    sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_port = to->sin_port;
    peer.sin_addr.s_addr = to->sin_addr;
    u_long non_blocking = 1;
    if (ioctlsocket(as_socket(s), FIONBIO, &non_blocking) != 0) return -1;
    int r = connect(as_socket(s), reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    if (r == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) r = wait_connected(as_socket(s));
    u_long blocking = 0;
    if (ioctlsocket(as_socket(s), FIONBIO, &blocking) != 0) return -1;
    if (r != 0) return -1;
    DWORD limit = PLAT_SEND_TIMEOUT_MS;
    (void)setsockopt(as_socket(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    return 0;
}

int plat_send(plat_socket s, const void* buf, size_t len) {
    int n = send(as_socket(s), static_cast<const char*>(buf), static_cast<int>(len), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int plat_recv(plat_socket s, void* buf, size_t cap) {
    int n;
    do {
        n = recv(as_socket(s), static_cast<char*>(buf), static_cast<int>(cap), 0);
    } while (n == SOCKET_ERROR && WSAGetLastError() == WSAEINTR);
    return n == SOCKET_ERROR ? -1 : n;
}

void plat_close(plat_socket s) {
    if (s != PLAT_INVALID_SOCKET) closesocket(as_socket(s));
}

void plat_shutdown(plat_socket s) {
    if (s != PLAT_INVALID_SOCKET) shutdown(as_socket(s), SD_BOTH);
}

uint64_t plat_now_ms(void) {
    if (plat_clock_hook hook = g_clock_hook.load(std::memory_order_acquire)) return hook();
    return GetTickCount64();
}

uint16_t plat_htons(uint16_t host) { return htons(host); }

uint32_t plat_inet_addr(const char* text) { return inet_addr(text); }

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002  // Windows 10 1803; older mingw headers lack it
#endif

namespace {

// Every poll sleeps 10 ms, and Sleep rounds that up to the 15.6 ms timer
// tick: the 8 s reply wait would last 12.5 s and a data block 31 ms instead
// of 20. A high-resolution waitable timer wakes on time without raising the
// tick for the whole system; where Windows refuses one (before 10 1803),
// the tick goes to 1 ms with timeBeginPeriod.
struct SleepTimer {
    HANDLE handle = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    ~SleepTimer() {
        if (handle) CloseHandle(handle);
    }
};

void sleep_on_fine_tick(uint32_t ms) {
    // Once per process, never ended: the process polls until it exits.
    static const MMRESULT fine_tick = timeBeginPeriod(1);
    (void)fine_tick;
    Sleep(ms);
}

}  // namespace

void plat_sleep_ms(uint32_t ms) {
    plat_sleep_hook hook = g_sleep_hook.load(std::memory_order_acquire);
    if (hook) {
        hook(ms);
        return;
    }
    if (ms == 0) {
        Sleep(0);  // gives up the rest of the time slice
        return;
    }
    thread_local SleepTimer timer;  // a waitable timer wakes every thread that waits on it
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, in 100 ns units
    if (timer.handle && SetWaitableTimer(timer.handle, &due, 0, nullptr, nullptr, FALSE) &&
        WaitForSingleObject(timer.handle, INFINITE) == WAIT_OBJECT_0) {
        return;
    }
    sleep_on_fine_tick(ms);
}

void plat_set_sleep_hook(plat_sleep_hook hook) { g_sleep_hook.store(hook, std::memory_order_release); }

void plat_set_clock_hook(plat_clock_hook hook) { g_clock_hook.store(hook, std::memory_order_release); }

void plat_news_post(plat_news* news) {
    news->fetch_add(1, std::memory_order_release);
    // Wakes only the threads that wait for this word.
    WakeByAddressAll(news);
}

void plat_news_wait(plat_news* news, uint32_t seen, uint32_t ms) {
    if (g_sleep_hook.load(std::memory_order_acquire) != nullptr) {
        if (news->load(std::memory_order_acquire) == seen) plat_sleep_ms(ms);
        return;
    }
    // The same fine tick as plat_sleep_ms: a 1 ms wait must not last 15.6.
    static const MMRESULT fine_tick = timeBeginPeriod(1);
    (void)fine_tick;
    const ULONGLONG until = GetTickCount64() + ms;
    // The word is compared with `seen` before the wait sleeps, so a post
    // between our look and the wait is never missed.
    while (news->load(std::memory_order_acquire) == seen) {
        const ULONGLONG now = GetTickCount64();
        if (now >= until) break;
        if (!WaitOnAddress(news, &seen, sizeof seen, static_cast<DWORD>(until - now)) && GetLastError() == ERROR_TIMEOUT)
            break;
    }
}

int plat_start_thread(plat_thread_fn fn) {
    HANDLE t = CreateThread(nullptr, 0, thread_trampoline, reinterpret_cast<LPVOID>(fn), 0, nullptr);
    if (t == nullptr) return -1;
    CloseHandle(t);  // detached: nobody waits for it
    return 0;
}

int plat_install_console_handler(plat_console_handler handler) {
    g_console_handler = handler;
    return SetConsoleCtrlHandler(console_routine, TRUE) ? 0 : -1;
}

uint64_t plat_utc_ms(void) {
    if (plat_clock_hook hook = g_clock_hook.load(std::memory_order_acquire)) return kPlatFakeEpochUtcMs + hook();
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    // 100 ns units since 1601-01-01; 1970 began 11644473600 s later.
    return (t.QuadPart - 116444736000000000ULL) / 10000;
}
