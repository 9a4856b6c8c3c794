// The one seam between lanflash and the operating system. Each platform
// (src/platform/posix.cpp, src/platform/win32.cpp) implements exactly these
// functions; the build picks one, and no other file includes an OS header.
#pragma once

#include <atomic>
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
// The same for a caller that says why it failed: the reason in why, in the
// same words on every platform for a port that another program holds
// ("Address already in use"), then *in_use is true.
plat_socket plat_udp_listen(uint16_t port, bool* in_use, char* why, size_t why_len);

// Asks for a receive queue of about `bytes` on s, so that a burst of
// datagrams waits there while the reader is busy instead of being dropped.
// The system may give less (Linux: net.core.rmem_max, unless we may exceed
// it). Returns the bytes granted, as the system counts them.
int plat_udp_grow_queue(plat_socket s, int bytes);

// One blocking receive of one whole datagram into buf[0..cap), and the
// sender's IPv4 address (network byte order) into *from unless it is
// nullptr. Returns its length, or one of the PLAT_RECV_* codes above.
int plat_udp_recv(plat_socket s, void* buf, size_t cap, uint32_t* from);

// Why the last socket call of this thread failed, in the system's words
// ("Bad file descriptor"), into why.
void plat_socket_error(char* why, size_t why_len);

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

// Tests replace the clock with a fake one, as they replace the sleep:
// plat_now_ms returns what the hook returns, and plat_utc_ms that much
// after kPlatFakeEpochUtcMs. nullptr restores the real clocks.
typedef uint64_t (*plat_clock_hook)(void);
void plat_set_clock_hook(plat_clock_hook hook);
constexpr uint64_t kPlatFakeEpochUtcMs = 1765000000000ull;  // 2025-12-06

uint16_t plat_htons(uint16_t host);

// Dotted-quad text to an address in network byte order (inet_addr).
uint32_t plat_inet_addr(const char* text);

// Sleeps, or hands the time to the hook that plat_set_sleep_hook installed.
// 0 yields the processor.
void plat_sleep_ms(uint32_t ms);

// Tests replace the sleep with a fake clock; nullptr restores the real one.
typedef void (*plat_sleep_hook)(uint32_t ms);
void plat_set_sleep_hook(plat_sleep_hook hook);

// A word that a thread bumps when something happened that another thread
// may be waiting for (a datagram queued, a receive done, a batch handed
// back), so that the waiter wakes at once instead of at its next look.
typedef std::atomic<uint32_t> plat_news;
// Adds one to *news and wakes every thread waiting on it.
void plat_news_post(plat_news* news);
// Waits while *news still holds `seen`, at most ms. Take `seen` before
// looking at what is awaited, and a post in between is never missed. With a
// sleep hook installed (tests), the wait is handed to it as a sleep.
void plat_news_wait(plat_news* news, uint32_t seen, uint32_t ms);

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

// ------------------------------------------------ beyond one machine at a time

// A pipe end, a file or a process: a POSIX descriptor or pid, a Win32 HANDLE.
typedef intptr_t plat_handle;
constexpr plat_handle PLAT_INVALID_HANDLE = -1;

// A worker: this same program, started by plat_spawn_self.
struct plat_child {
    plat_handle process;     // POSIX pid, Windows process handle
    plat_handle to_child;    // our end of its standard input
    plat_handle from_child;  // our end of its standard error
};

// Starts this same program (its own executable, not a search of PATH) with
// args[0..nargs) as its arguments. Its standard input reads what
// plat_child_write sends, its standard error comes back through
// plat_child_read, and its standard output goes to out_path (created anew,
// or appended to when append_out), or to the null device when out_path is
// nullptr. It gets none of our console events (a process group of its own;
// no console on Windows), and none of our other descriptors or handles.
// Returns without waiting for the child to run. 0 on success; -1 with a
// line in why that names the failing call and its reason. A child that
// cannot run the program at all (on Linux, found only after the return)
// says why in a line on its standard error and ends with status 127.
int plat_spawn_self(const char* const* args, int nargs, const char* out_path, bool append_out, plat_child* child,
                    char* why, size_t why_len);
// Sends len bytes (at most 4096) whole: 0 when sent, 1 when its pipe is full
// and nothing was sent, -1 when the child is gone. Never waits for a child
// that stopped reading (on Windows it may wait while the pipe is full).
int plat_child_write(const plat_child* child, const void* buf, size_t len);
// What the child has written to its standard error so far, without waiting:
// the bytes read, 0 when none are waiting, -1 once it closed its end.
int plat_child_read(const plat_child* child, void* buf, size_t cap);
// Which children have something for plat_child_read now (bytes, or the
// end of their output): ready[i] for children[i], in one look at all of
// them. 0 on success.
int plat_children_ready(const plat_child* const* children, int n, bool* ready);
// Closes our end of its standard input: the child reads end of file.
void plat_child_close_input(plat_child* child);
// 1 once the child has ended, with its exit status in *status (-1 when it
// was killed), and every handle of it closed; 0 while it runs. Waits for
// the end only when wait is true.
int plat_child_reap(plat_child* child, int* status, bool wait);

// In a worker: one blocking read of standard input, as untranslated bytes.
// The bytes read, 0 at end of file, -1 on error.
int plat_stdin_read(void* buf, size_t cap);
// In a worker: len bytes (at most 4096) to standard error, untranslated,
// in one write, so that a reader of the pipe never gets half of them
// between another writer's. 0 on success.
int plat_stderr_write(const void* buf, size_t len);

// In a worker: gives this process a lower scheduling priority than its
// parent, so that when workers want more CPU than there is, the parent
// (listener, rules, display) and the machines' own answers still come first.
void plat_yield_to_parent(void);

// True when standard output is a terminal that takes ANSI cursor movement
// and erasure (on Windows: once virtual terminal processing is on, which
// this switches on). False for pipes and files.
bool plat_stdout_is_live_terminal(void);

// Raises this process's limit on open descriptors (sockets, pipes, files)
// to at least `wanted` where the system allows; the limit now. Where there
// is no such limit (Windows), `wanted`.
uint64_t plat_raise_open_files(uint64_t wanted);

// Creates one directory if it does not exist. 0 when it exists afterwards.
int plat_make_dir(const char* path);

// Opens path for appending, creating it if missing; PLAT_INVALID_HANDLE on
// failure, with the reason in why.
plat_handle plat_open_append(const char* path, char* why, size_t why_len);
// One write of all len bytes at the end of the file, as one piece, so that
// lines of two programs appending to one file never mix. 0 on success.
int plat_append(plat_handle file, const void* buf, size_t len);

// Milliseconds since 1970-01-01 00:00 UTC (wall clock, for reports only).
uint64_t plat_utc_ms(void);

// The SHA-256 of len bytes into out, from the system's own library
// (libcrypto, BCrypt). 0 on success; -1 with the failing call in why.
constexpr size_t PLAT_SHA256_BYTES = 32;
int plat_sha256(const void* data, size_t len, uint8_t out[PLAT_SHA256_BYTES], char* why, size_t why_len);

// ------------------------------------------- what some options open for a run
// (src/platform/posix_open.cpp, src/platform/win32_open.cpp)

// A shared library opened by its file name (libsqlite3.so.0, sqlite3.dll)
// for the rest of the process's life, so that a run without the option that
// needs it never maps it. nullptr with the reason in why.
typedef void* plat_library;
plat_library plat_library_open(const char* name, char* why, size_t why_len);
// The address of a function the library exports, or nullptr.
void* plat_library_symbol(plat_library lib, const char* name);

// Locks that outlive no process: the system lets go of them when their
// holder ends, however it ends (a kill, a crash, a power loss), so another
// process can tell a run that died from one still going. Each is one slot
// (a byte offset) of a lock file that is created if missing and never
// written. Takes slot n of path for the rest of this process's life: 0 on
// success, -1 with the reason in why.
int plat_slot_hold(const char* path, uint64_t slot, char* why, size_t why_len);
// 1 while another process holds slot n of path, 0 when none does, -1 when
// it cannot be told (with the reason in why). Not for this process's own.
int plat_slot_held(const char* path, uint64_t slot, char* why, size_t why_len);

// A TCP socket listening on addr:port (network byte order; 0 for any
// address), or PLAT_INVALID_SOCKET with the reason in why; *in_use when
// another program holds the port.
plat_socket plat_tcp_listen(uint32_t addr, uint16_t port, bool* in_use, char* why, size_t why_len);
