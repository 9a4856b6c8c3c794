// The one seam between lanflash and the operating system. Each platform
// (src/platform/posix.cpp, src/platform/win32.cpp) implements exactly these
// functions; the build picks one, and no other file includes an OS header.
#pragma once

#include <cstddef>
#include <cstdint>

// Wide enough for a POSIX descriptor and a Win32 SOCKET alike.
typedef intptr_t plat_socket;
constexpr plat_socket PLAT_INVALID_SOCKET = -1;

// An IPv4 endpoint, laid out like the fields of sockaddr_in that we use.
// sin_port and sin_addr are in network byte order.
struct plat_sockaddr_in {
    uint16_t sin_family;
    uint16_t sin_port;
    uint32_t sin_addr;
};
constexpr uint16_t PLAT_AF_INET = 2;

// Results of plat_udp_recv besides a length >= 0.
constexpr int PLAT_RECV_ERROR = -1;
constexpr int PLAT_RECV_OVERSIZE = -2;     // datagram longer than the buffer
constexpr int PLAT_RECV_INTERRUPTED = -3;  // a signal cut the wait short; try again

// Sockets layer start-up (WSAStartup on Windows). 0 on success.
int plat_sockets_startup(void);

// A datagram socket bound to any local address on `port`, or
// PLAT_INVALID_SOCKET.
plat_socket plat_udp_open_bound(uint16_t port);

// One blocking receive of one whole datagram into buf[0..cap).
// Returns its length, or one of the PLAT_RECV_* codes above.
int plat_udp_recv(plat_socket s, void* buf, size_t cap);

// A new IPv4 stream socket with Nagle's algorithm off, or PLAT_INVALID_SOCKET.
plat_socket plat_tcp_socket(void);

// A send that cannot go out within this time fails instead of blocking the
// main loop for ever behind a machine that stopped reading.
constexpr uint32_t PLAT_SEND_TIMEOUT_MS = 8000;

// A machine that swallows connection requests (powered off, wrong address)
// would otherwise hold the main loop for the system's limit, minutes long.
constexpr uint32_t PLAT_CONNECT_TIMEOUT_MS = 3000;

// One connect that waits at most PLAT_CONNECT_TIMEOUT_MS, and gives up early
// once a console event has come: the user wants out. 0 on success, -1 on
// failure. A connected socket is blocking again and its sends give up after
// PLAT_SEND_TIMEOUT_MS.
int plat_tcp_connect(plat_socket s, const plat_sockaddr_in* to);

// One send call. Returns the bytes sent or -1.
int plat_send(plat_socket s, const void* buf, size_t len);

// One blocking receive. Returns the bytes received, 0 when the peer has
// closed, or -1 on error (an interrupted receive is retried inside).
int plat_recv(plat_socket s, void* buf, size_t cap);

void plat_close(plat_socket s);

// Ends both directions of a stream socket; a receive blocked on it returns.
void plat_shutdown(plat_socket s);

// Milliseconds on a clock that only moves forward, from an arbitrary start.
uint64_t plat_now_ms(void);

uint16_t plat_htons(uint16_t host);

// Dotted-quad text to an address in network byte order (inet_addr).
uint32_t plat_inet_addr(const char* text);

// Sleeps, or hands the time to the hook that plat_set_sleep_hook installed.
// 0 yields the processor.
void plat_sleep_ms(uint32_t ms);

// Tests replace the sleep with a fake clock; nullptr restores the real one.
typedef void (*plat_sleep_hook)(uint32_t ms);
void plat_set_sleep_hook(plat_sleep_hook hook);

// Starts fn on a detached thread that never holds up the end of the process.
// 0 on success.
typedef void (*plat_thread_fn)(void);
int plat_start_thread(plat_thread_fn fn);

// Console events: 0 is Ctrl-C, 1 is Ctrl-Break (Ctrl-\ on a terminal), any
// other value is another event (termination, hang-up). The handler runs on
// a thread of its own and none of the events ends the process by itself.
// Call it before any other thread starts. 0 on success.
typedef int (*plat_console_handler)(uint32_t type);
int plat_install_console_handler(plat_console_handler handler);
