// Windows implementation of inc/platform.h (Windows Sockets 2 and the
// Win32 kernel; built with mingw-w64).
#include "platform.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mmsystem.h>
#include <bcrypt.h>

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

// ------------------------------------------------ beyond one machine at a time

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004  // Windows 10; older mingw headers lack it
#endif

namespace {

// Room for a worker's pending records and event lines, so that neither side
// waits on the other while it is busy elsewhere.
constexpr DWORD kPipeBytes = 64 * 1024;

// The most CreateProcess takes, and the longest path Windows has.
constexpr size_t kMaxCommandLine = 32768;

// "call: reason", or "call path: reason", the reason in the system's words.
void say(char* why, size_t why_len, const char* call, const char* path, DWORD err) {
    if (why == nullptr || why_len == 0) return;
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err,
                             MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    // The system's sentences end in ".\r\n"; ours go on a line of their own.
    while (n > 0 && strchr(" .\r\n", text[n - 1]) != nullptr) n--;
    text[n] = '\0';
    if (n == 0) snprintf(text, sizeof text, "error %lu", static_cast<unsigned long>(err));
    if (path != nullptr) snprintf(why, why_len, "%s %s: %s", call, path, text);
    else snprintf(why, why_len, "%s: %s", call, text);
}

HANDLE as_handle(plat_handle h) { return reinterpret_cast<HANDLE>(h); }

void close_handle(HANDLE* h) {
    if (*h != INVALID_HANDLE_VALUE && *h != nullptr) CloseHandle(*h);
    *h = INVALID_HANDLE_VALUE;
}

void close_handle(plat_handle* h) {
    if (*h != PLAT_INVALID_HANDLE) CloseHandle(as_handle(*h));
    *h = PLAT_INVALID_HANDLE;
}

// A command line that grows up to kMaxCommandLine characters.
struct CommandLine {
    wchar_t* text = static_cast<wchar_t*>(malloc(kMaxCommandLine * sizeof(wchar_t)));
    size_t len = 0;
    bool overflow = text == nullptr;
    ~CommandLine() { free(text); }
    void put(wchar_t c, size_t times = 1) {
        for (; times > 0 && !overflow; times--) {
            if (len + 1 >= kMaxCommandLine) overflow = true;
            else text[len++] = c;
        }
        if (!overflow) text[len] = L'\0';
    }
};

// One argument written so that the C runtime and CommandLineToArgvW split
// it back as it was: backslashes are literal except before a quote, where
// each pair stands for one and an odd one makes the quote a character.
void put_quoted(CommandLine* line, const wchar_t* arg) {
    if (arg[0] != L'\0' && wcspbrk(arg, L" \t\n\v\"") == nullptr) {
        for (const wchar_t* p = arg; *p != L'\0'; p++) line->put(*p);
        return;
    }
    line->put(L'"');
    for (const wchar_t* p = arg;; p++) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        if (*p == L'\0') {
            line->put(L'\\', backslashes * 2);  // the closing quote follows
            break;
        }
        if (*p == L'"') line->put(L'\\', backslashes * 2 + 1);
        else line->put(L'\\', backslashes);
        line->put(*p);
    }
    line->put(L'"');
}

// The arguments come in the ANSI code page, as main() received them; they
// are quoted as UTF-16, since in a double-byte code page the second byte of
// a character can be a backslash.
int build_command_line(CommandLine* line, const wchar_t* exe, const char* const* args, int nargs) {
    // Our own path, which holds no quote, so needs no escaping.
    line->put(L'"');
    for (const wchar_t* p = exe; *p != L'\0'; p++) line->put(*p);
    line->put(L'"');
    wchar_t* wide = static_cast<wchar_t*>(malloc(kMaxCommandLine * sizeof(wchar_t)));
    if (wide == nullptr) return -1;
    for (int i = 0; i < nargs && !line->overflow; i++) {
        if (MultiByteToWideChar(CP_ACP, 0, args[i], -1, wide, static_cast<int>(kMaxCommandLine)) == 0) {
            line->overflow = true;
            break;
        }
        line->put(L' ');
        put_quoted(line, wide);
    }
    free(wide);
    return line->overflow ? -1 : 0;
}

// The handles of one start, until the child and the plat_child hold them.
struct SpawnHandles {
    HANDLE in_read = INVALID_HANDLE_VALUE;    // its standard input
    HANDLE in_write = INVALID_HANDLE_VALUE;   // ours
    HANDLE err_read = INVALID_HANDLE_VALUE;   // ours
    HANDLE err_write = INVALID_HANDLE_VALUE;  // its standard error
    HANDLE out = INVALID_HANDLE_VALUE;        // its standard output
    ~SpawnHandles() {
        close_handle(&in_read);
        close_handle(&in_write);
        close_handle(&err_read);
        close_handle(&err_write);
        close_handle(&out);
    }
};

// Only the child's end is inheritable: a worker holding our end of a
// sibling's input would keep that sibling from seeing end of file.
int open_pipe(HANDLE* child_end, HANDLE* our_end, bool child_reads, char* why, size_t why_len) {
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, nullptr, kPipeBytes)) {
        say(why, why_len, "CreatePipe", nullptr, GetLastError());
        return -1;
    }
    *child_end = child_reads ? read_end : write_end;
    *our_end = child_reads ? write_end : read_end;
    if (!SetHandleInformation(*child_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        say(why, why_len, "SetHandleInformation", nullptr, GetLastError());
        return -1;
    }
    return 0;
}

int open_out(const char* out_path, bool append, HANDLE* out, char* why, size_t why_len) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const char* path = out_path != nullptr ? out_path : "NUL";
    // Readers may look at a worker's log while it writes. FILE_APPEND_DATA
    // alone puts every write at the end.
    const DWORD access = append && out_path != nullptr ? FILE_APPEND_DATA : GENERIC_WRITE;
    const DWORD how = out_path == nullptr ? OPEN_EXISTING : append ? OPEN_ALWAYS : CREATE_ALWAYS;
    *out = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, how, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (*out == INVALID_HANDLE_VALUE) {
        say(why, why_len, "CreateFile", path, GetLastError());
        return -1;
    }
    return 0;
}

int open_child_handles(SpawnHandles* h, const char* out_path, bool append, char* why, size_t why_len) {
    if (open_pipe(&h->in_read, &h->in_write, true, why, why_len) != 0) return -1;
    if (open_pipe(&h->err_write, &h->err_read, false, why, why_len) != 0) return -1;
    return open_out(out_path, append, &h->out, why, why_len);
}

// The worker inherits its three standard handles and nothing else, even
// what other code in this process made inheritable.
struct HandleList {
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
    HANDLE handles[3];
    ~HandleList() {
        if (list != nullptr) {
            DeleteProcThreadAttributeList(list);
            free(list);
        }
    }
    // nullptr, or the failing call, its error in *err.
    const char* make(const SpawnHandles& h, DWORD* err) {
        handles[0] = h.in_read;
        handles[1] = h.out;
        handles[2] = h.err_write;
        SIZE_T size = 0;
        (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // only asks for the size
        list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(malloc(size));
        *err = ERROR_NOT_ENOUGH_MEMORY;
        if (list == nullptr) return "malloc";
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            *err = GetLastError();
            free(list);
            list = nullptr;
            return "InitializeProcThreadAttributeList";
        }
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles, nullptr,
                                       nullptr)) {
            *err = GetLastError();
            return "UpdateProcThreadAttribute";
        }
        return nullptr;
    }
};

// The worker gets no console, so none of its events, and a process group
// of its own: we pass a stop on in our own way.
constexpr DWORD kWorkerFlags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT;

int start(const SpawnHandles& h, const wchar_t* exe, wchar_t* command_line, PROCESS_INFORMATION* pi, char* why,
          size_t why_len) {
    HandleList inherit;
    DWORD err = 0;
    if (const char* failed = inherit.make(h, &err)) {
        say(why, why_len, failed, nullptr, err);
        return -1;
    }
    STARTUPINFOEXW si;
    memset(&si, 0, sizeof si);
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = h.in_read;
    si.StartupInfo.hStdOutput = h.out;
    si.StartupInfo.hStdError = h.err_write;
    si.lpAttributeList = inherit.list;
    if (!CreateProcessW(exe, command_line, nullptr, nullptr, TRUE, kWorkerFlags, nullptr, nullptr,
                        &si.StartupInfo, pi)) {
        say(why, why_len, "CreateProcess", nullptr, GetLastError());
        return -1;
    }
    return 0;
}

}  // namespace

int plat_spawn_self(const char* const* args, int nargs, const char* out_path, bool append_out, plat_child* child,
                    char* why, size_t why_len) {
    child->process = child->to_child = child->from_child = PLAT_INVALID_HANDLE;
    // UTF-16, since the ANSI form of a path can lose characters.
    wchar_t* exe = static_cast<wchar_t*>(malloc(kMaxCommandLine * sizeof(wchar_t)));
    if (exe == nullptr) {
        say(why, why_len, "malloc", nullptr, ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    const DWORD exe_len = GetModuleFileNameW(nullptr, exe, static_cast<DWORD>(kMaxCommandLine));
    const DWORD exe_err = exe_len == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    CommandLine line;
    SpawnHandles h;
    PROCESS_INFORMATION pi;
    int r = -1;
    if (exe_len == 0 || exe_len >= kMaxCommandLine) {
        say(why, why_len, "GetModuleFileName", nullptr, exe_err);
    } else if (build_command_line(&line, exe, args, nargs) != 0) {
        say(why, why_len, "CreateProcess", nullptr, ERROR_FILENAME_EXCED_RANGE);  // what it would say
    } else if (open_child_handles(&h, out_path, append_out, why, why_len) == 0) {
        r = start(h, exe, line.text, &pi, why, why_len);
    }
    free(exe);
    if (r != 0) return -1;
    CloseHandle(pi.hThread);
    child->process = reinterpret_cast<plat_handle>(pi.hProcess);
    child->to_child = reinterpret_cast<plat_handle>(h.in_write);
    child->from_child = reinterpret_cast<plat_handle>(h.err_read);
    h.in_write = h.err_read = INVALID_HANDLE_VALUE;
    return 0;  // h closes the child's ends: it alone holds them now
}

int plat_child_write(const plat_child* child, const void* buf, size_t len) {
    if (child->to_child == PLAT_INVALID_HANDLE) return -1;
    // Anonymous pipes cannot refuse a write that does not fit whole, so this
    // one waits while the pipe is full.
    DWORD sent = 0;
    if (!WriteFile(as_handle(child->to_child), buf, static_cast<DWORD>(len), &sent, nullptr)) return -1;
    return sent == len ? 0 : -1;
}

int plat_child_read(const plat_child* child, void* buf, size_t cap) {
    if (child->from_child == PLAT_INVALID_HANDLE) return -1;
    const HANDLE pipe = as_handle(child->from_child);
    DWORD waiting = 0;
    // Only what is there: a ReadFile of more would wait for it.
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return -1;
    if (waiting == 0) return 0;
    const DWORD want = cap < waiting ? static_cast<DWORD>(cap) : waiting;
    DWORD got = 0;
    if (!ReadFile(pipe, buf, want, &got, nullptr)) return -1;
    return static_cast<int>(got);
}

// Anonymous pipes cannot be waited on: a look at each is what there is.
int plat_children_ready(const plat_child* const* children, int n, bool* ready) {
    for (int i = 0; i < n; ++i) {
        DWORD waiting = 0;
        const plat_handle from = children[i]->from_child;
        ready[i] = from == PLAT_INVALID_HANDLE || !PeekNamedPipe(as_handle(from), nullptr, 0, nullptr, &waiting, nullptr) ||
                   waiting > 0;
    }
    return 0;
}

void plat_child_close_input(plat_child* child) { close_handle(&child->to_child); }

int plat_child_reap(plat_child* child, int* status, bool wait) {
    DWORD code = 0;
    bool known = false;
    if (child->process != PLAT_INVALID_HANDLE) {
        const DWORD r = WaitForSingleObject(as_handle(child->process), wait ? INFINITE : 0);
        if (r == WAIT_TIMEOUT) return 0;
        known = r == WAIT_OBJECT_0 && GetExitCodeProcess(as_handle(child->process), &code);
    }
    // Exception and termination codes (0xC0000005, 0xC000013A) are the
    // counterpart of a POSIX signal: the program did not choose them.
    *status = known && code < 0xC0000000 ? static_cast<int>(code) : -1;
    close_handle(&child->process);
    close_handle(&child->to_child);
    close_handle(&child->from_child);
    return 1;
}

int plat_stdin_read(void* buf, size_t cap) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) return -1;
    const DWORD want = cap < MAXDWORD ? static_cast<DWORD>(cap) : MAXDWORD;
    DWORD got = 0;
    // A pipe whose writer closed reports that as an error.
    if (!ReadFile(in, buf, want, &got, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return static_cast<int>(got);
}

// WriteFile rather than the C library's stderr, which would turn a 0x0A
// byte of a record into CR LF.
int plat_stderr_write(const void* buf, size_t len) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return -1;
    DWORD wrote = 0;
    return WriteFile(err, buf, static_cast<DWORD>(len), &wrote, nullptr) && wrote == len ? 0 : -1;
}

void plat_yield_to_parent(void) { SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS); }

bool plat_stdout_is_live_terminal(void) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;  // a pipe or a file
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // Refused by consoles before Windows 10, which take no ANSI sequences.
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

uint64_t plat_raise_open_files(uint64_t wanted) { return wanted; }

int plat_make_dir(const char* path) {
    if (CreateDirectoryA(path, nullptr)) return 0;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return -1;
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : -1;
}

plat_handle plat_open_append(const char* path, char* why, size_t why_len) {
    // FILE_APPEND_DATA alone: the system puts every write at the end, even
    // with another program appending to the same file.
    const HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        say(why, why_len, "CreateFile", path, GetLastError());
        return PLAT_INVALID_HANDLE;
    }
    return reinterpret_cast<plat_handle>(file);
}

int plat_append(plat_handle file, const void* buf, size_t len) {
    DWORD written = 0;
    if (!WriteFile(as_handle(file), buf, static_cast<DWORD>(len), &written, nullptr)) return -1;
    return written == len ? 0 : -1;
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

// BCrypt's open, hash and finish rather than BCryptHash, which came only
// with Windows 10.
int plat_sha256(const void* data, size_t len, uint8_t out[PLAT_SHA256_BYTES], char* why, size_t why_len) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    const char* failed = nullptr;
    NTSTATUS st = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (!BCRYPT_SUCCESS(st)) failed = "BCryptOpenAlgorithmProvider";
    if (failed == nullptr && !BCRYPT_SUCCESS(st = BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0)))
        failed = "BCryptCreateHash";
    const UCHAR* p = static_cast<const UCHAR*>(data);
    while (failed == nullptr && len > 0) {
        const ULONG piece = len > 0x40000000 ? 0x40000000 : static_cast<ULONG>(len);
        if (!BCRYPT_SUCCESS(st = BCryptHashData(hash, const_cast<UCHAR*>(p), piece, 0))) failed = "BCryptHashData";
        p += piece;
        len -= piece;
    }
    if (failed == nullptr && !BCRYPT_SUCCESS(st = BCryptFinishHash(hash, out, PLAT_SHA256_BYTES, 0)))
        failed = "BCryptFinishHash";
    if (hash != nullptr) BCryptDestroyHash(hash);
    if (alg != nullptr) BCryptCloseAlgorithmProvider(alg, 0);
    if (failed == nullptr) return 0;
    if (why != nullptr && why_len > 0)
        snprintf(why, why_len, "%s: status 0x%08lX", failed, static_cast<unsigned long>(st));
    return -1;
}
