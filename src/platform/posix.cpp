// POSIX (Linux) implementation of inc/platform.h: sockets, clocks, waits,
// threads and console events. Workers: posix_child.cpp; files: posix_file.cpp.
#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <linux/futex.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<plat_sleep_hook> g_sleep_hook{nullptr};
std::atomic<plat_clock_hook> g_clock_hook{nullptr};
plat_console_handler g_console_handler = nullptr;  // written before its thread starts
std::atomic<bool> g_console_event_seen{false};

// A machine on the local network answers a connect within milliseconds;
// the slice is how soon a pending one notices that the user wants out.
constexpr uint64_t kConnectSliceMs = 50;

// The signals that stand for console events. They are blocked in every
// thread and taken by one thread with sigwait, as Windows calls a console
// handler on a thread of its own.
void console_signals(sigset_t* set) {
    sigemptyset(set);
    sigaddset(set, SIGINT);
    sigaddset(set, SIGQUIT);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
}

void* console_thread(void*) {
    sigset_t set;
    console_signals(&set);
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        uint32_t type = 2;
        if (sig == SIGINT) type = 0;
        else if (sig == SIGQUIT) type = 1;
        g_console_event_seen.store(true, std::memory_order_release);
        g_console_handler(type);
    }
    return nullptr;
}

void* thread_trampoline(void* arg) {
    plat_thread_fn fn = reinterpret_cast<plat_thread_fn>(arg);
    fn();
    return nullptr;
}

}  // namespace

int plat_sockets_startup(void) { return 0; }

// Sockets are close-on-exec: a worker holding our UDP socket would keep the
// port bound after we end.
plat_socket plat_udp_open_bound(uint16_t port) { return plat_udp_listen(port, nullptr, nullptr, 0); }

plat_socket plat_udp_listen(uint16_t port, bool* in_use, char* why, size_t why_len) {
    if (in_use != nullptr) *in_use = false;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        if (why != nullptr) snprintf(why, why_len, "%s", strerror(errno));
        return PLAT_INVALID_SOCKET;
    }
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(port);
    // Linux would let a receive on an unbound socket wait for ever; an
    // invalid socket makes the failure show at the receive, as on Windows.
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        const int err = errno;
        close(s);
        if (in_use != nullptr) *in_use = err == EADDRINUSE;
        if (why != nullptr) snprintf(why, why_len, "%s", strerror(err));
        return PLAT_INVALID_SOCKET;
    }
    return s;
}

int plat_udp_grow_queue(plat_socket s, int bytes) {
    // Root (as in a test's namespace) may pass rmem_max; others get up to it.
    if (setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    int granted = 0;
    socklen_t len = sizeof granted;
    if (getsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &granted, &len) != 0) return 0;
    return granted;
}

int plat_udp_recv(plat_socket s, void* buf, size_t cap, uint32_t* from_addr) {
    sockaddr_in from{};
    socklen_t fromlen = sizeof from;
    // MSG_TRUNC makes recvfrom report the datagram's real length.
    ssize_t n = recvfrom(static_cast<int>(s), buf, cap, MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&from), &fromlen);
    if (n < 0) return errno == EINTR ? PLAT_RECV_INTERRUPTED : PLAT_RECV_ERROR;
    if (from_addr != nullptr) *from_addr = from.sin_addr.s_addr;
    if (static_cast<size_t>(n) > cap) return PLAT_RECV_OVERSIZE;
    return static_cast<int>(n);
}

void plat_socket_error(char* why, size_t why_len) { snprintf(why, why_len, "%s", strerror(errno)); }

plat_socket plat_tcp_socket(void) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return PLAT_INVALID_SOCKET;
    // Blocks and their CRC bytes go out in separate sends; Nagle's algorithm
    // with the peer's delayed acknowledgement would hold each block back.
    int one = 1;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

namespace {

// Waits for a non-blocking connect to finish. 0 when connected.
int wait_connected(int fd) {
    const uint64_t deadline = plat_now_ms() + PLAT_CONNECT_TIMEOUT_MS;
    for (;;) {
        const uint64_t now = plat_now_ms();
        if (now >= deadline) return -1;
        const uint64_t left = deadline - now;
        pollfd p{fd, POLLOUT, 0};
        int n = poll(&p, 1, static_cast<int>(left < kConnectSliceMs ? left : kConnectSliceMs));
        if (n < 0 && errno != EINTR) return -1;
        if (n > 0) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return -1;
            return err == 0 ? 0 : -1;
        }
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
    const int fd = static_cast<int>(s);
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return -1;
    int r = connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer);
    // Interrupted, a non-blocking connect goes on in the background as well.
    if (r < 0 && (errno == EINPROGRESS || errno == EINTR)) r = wait_connected(fd);
    if (fcntl(fd, F_SETFL, flags) != 0) return -1;
    if (r < 0) return -1;
    timeval limit;
    limit.tv_sec = PLAT_SEND_TIMEOUT_MS / 1000;
    limit.tv_usec = (PLAT_SEND_TIMEOUT_MS % 1000) * 1000;
    (void)setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return 0;
}

int plat_send(plat_socket s, const void* buf, size_t len) {
    ssize_t n;
    do {
        // MSG_NOSIGNAL: a machine that closed the connection must not kill us with SIGPIPE.
        n = send(static_cast<int>(s), buf, len, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int plat_recv(plat_socket s, void* buf, size_t cap) {
    ssize_t n;
    do {
        n = recv(static_cast<int>(s), buf, cap, 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

void plat_close(plat_socket s) {
    if (s >= 0) close(static_cast<int>(s));
}

void plat_shutdown(plat_socket s) {
    if (s >= 0) shutdown(static_cast<int>(s), SHUT_RDWR);
}

uint64_t plat_now_ms(void) {
    if (plat_clock_hook hook = g_clock_hook.load(std::memory_order_acquire)) return hook();
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

uint16_t plat_htons(uint16_t host) { return htons(host); }

uint32_t plat_inet_addr(const char* text) { return inet_addr(text); }

void plat_sleep_ms(uint32_t ms) {
    plat_sleep_hook hook = g_sleep_hook.load(std::memory_order_acquire);
    if (hook) {
        hook(ms);
        return;
    }
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void plat_set_sleep_hook(plat_sleep_hook hook) { g_sleep_hook.store(hook, std::memory_order_release); }

void plat_set_clock_hook(plat_clock_hook hook) { g_clock_hook.store(hook, std::memory_order_release); }

namespace {

// The kernel waits on the word itself: a post wakes only the threads that
// wait for that word, with one call and no lock, which a thousand workers'
// hand-overs a block need.
long futex(plat_news* word, int op, uint32_t value, const timespec* rel) {
    static_assert(sizeof(plat_news) == sizeof(uint32_t), "a futex is a 32-bit word");
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, rel, nullptr, 0);
}

uint64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace

void plat_news_post(plat_news* news) {
    news->fetch_add(1, std::memory_order_release);
    futex(news, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

void plat_news_wait(plat_news* news, uint32_t seen, uint32_t ms) {
    if (g_sleep_hook.load(std::memory_order_acquire) != nullptr) {
        if (news->load(std::memory_order_acquire) == seen) plat_sleep_ms(ms);
        return;
    }
    // The monotonic clock, as plat_now_ms: a wall clock set back would stretch a wait.
    const uint64_t until = monotonic_ns() + static_cast<uint64_t>(ms) * 1000000u;
    // The kernel compares the word with `seen` before it sleeps, so a post
    // between our look and the wait is never missed.
    while (news->load(std::memory_order_acquire) == seen) {
        const uint64_t now = monotonic_ns();
        if (now >= until) return;
        const uint64_t left = until - now;
        const timespec rel{static_cast<time_t>(left / 1000000000u), static_cast<long>(left % 1000000000u)};
        if (futex(news, FUTEX_WAIT_PRIVATE, seen, &rel) != 0 && errno == ETIMEDOUT) return;
    }
}

int plat_start_thread(plat_thread_fn fn) {
    pthread_t t;
    if (pthread_create(&t, nullptr, thread_trampoline, reinterpret_cast<void*>(fn)) != 0) return -1;
    pthread_detach(t);
    return 0;
}

int plat_install_console_handler(plat_console_handler handler) {
    sigset_t set;
    console_signals(&set);
    // Threads inherit the mask, so every later thread leaves these to sigwait.
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
    g_console_handler = handler;
    pthread_t t;
    if (pthread_create(&t, nullptr, console_thread, nullptr) != 0) return -1;
    pthread_detach(t);
    return 0;
}

uint64_t plat_utc_ms(void) {
    if (plat_clock_hook hook = g_clock_hook.load(std::memory_order_acquire)) return kPlatFakeEpochUtcMs + hook();
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}
