// POSIX (Linux) implementation of inc/platform.h.
#include "platform.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <linux/futex.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
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

// ------------------------------------------------ beyond one machine at a time

namespace {

// "call: reason", or "call path: reason", as every failed call reads.
void say(char* why, size_t why_len, const char* call, const char* path, int err) {
    if (why == nullptr || why_len == 0) return;
    if (path != nullptr) snprintf(why, why_len, "%s %s: %s", call, path, strerror(err));
    else snprintf(why, why_len, "%s: %s", call, strerror(err));
}

// The descriptors of one start, until the child and the plat_child hold them.
struct SpawnFds {
    int in_read = -1;    // its standard input
    int in_write = -1;   // ours
    int err_read = -1;   // ours
    int err_write = -1;  // its standard error
    int out = -1;        // its standard output
};

void close_fd(int* fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

void close_all(SpawnFds* f) {
    close_fd(&f->in_read);
    close_fd(&f->in_write);
    close_fd(&f->err_read);
    close_fd(&f->err_write);
    close_fd(&f->out);
}

// The child's descriptors reach 0, 1 and 2 by dup2 one after another; one
// that already is 0, 1 or 2 (we were started with those closed) could be
// overwritten before its turn.
int above_stdio(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    close(fd);
    errno = err;
    return moved;
}

// A pipe whose ends are close-on-exec, so no other worker inherits them: a
// worker would not see end of file on its input while a sibling held our
// end of it. Our end does not block: one thread polls every worker.
int open_pipe(int* child_end, int* our_end, bool child_reads, char* why, size_t why_len) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        say(why, why_len, "pipe2", nullptr, errno);
        return -1;
    }
    *child_end = above_stdio(child_reads ? ends[0] : ends[1]);
    *our_end = child_reads ? ends[1] : ends[0];
    if (*child_end < 0) {
        say(why, why_len, "fcntl", nullptr, errno);
        return -1;
    }
    const int flags = fcntl(*our_end, F_GETFL);
    if (flags < 0 || fcntl(*our_end, F_SETFL, flags | O_NONBLOCK) != 0) {
        say(why, why_len, "fcntl", nullptr, errno);
        return -1;
    }
    return 0;
}

// Opened here rather than by the child, so that a failure names the file.
int open_out(const char* out_path, bool append, int* out, char* why, size_t why_len) {
    const char* path = out_path != nullptr ? out_path : "/dev/null";
    const int keep = append ? O_APPEND : O_TRUNC;
    *out = above_stdio(open(path, O_WRONLY | O_CREAT | keep | O_CLOEXEC, 0644));
    if (*out < 0) {
        say(why, why_len, "open", path, errno);
        return -1;
    }
    return 0;
}

int open_child_fds(SpawnFds* f, const char* out_path, bool append, char* why, size_t why_len) {
    if (open_pipe(&f->in_read, &f->in_write, true, why, why_len) != 0) return -1;
    if (open_pipe(&f->err_write, &f->err_read, false, why, why_len) != 0) return -1;
    return open_out(out_path, append, &f->out, why, why_len);
}

// 0 or an error number. The child unblocks the console signals that our
// sigwait thread takes, and leaves our process group: the terminal's Ctrl-C
// reaches only us, and we pass a stop on in our own way.
int spawn(const SpawnFds& f, char* const* argv, pid_t* pid) {
    posix_spawn_file_actions_t acts;
    posix_spawnattr_t attr;
    int rc = posix_spawn_file_actions_init(&acts);
    if (rc != 0) return rc;
    rc = posix_spawnattr_init(&attr);
    if (rc != 0) {
        posix_spawn_file_actions_destroy(&acts);
        return rc;
    }
    sigset_t none;
    sigemptyset(&none);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&acts, f.in_read, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&acts, f.out, 1);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&acts, f.err_write, 2);
    // Descriptors that others opened without close-on-exec, or that we
    // inherited, stay with us as well.
    if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&acts, 3);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0) rc = posix_spawnattr_setpgroup(&attr, 0);
    if (rc == 0) rc = posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    // /proc/self/exe still names the program we run if its file was replaced.
    if (rc == 0) rc = posix_spawn(pid, "/proc/self/exe", &acts, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&acts);
    return rc;
}

// Runs one write with SIGPIPE held back in this thread, and swallows the
// signal that a write to a pipe without a reader raised: a worker that
// ended must give -1, not end us. Ignoring SIGPIPE for the whole process
// would also change how our own output behaves, and workers would
// inherit it.
ssize_t write_without_sigpipe(int fd, const void* buf, size_t len) {
    sigset_t pipe_only, old, pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    if (pthread_sigmask(SIG_BLOCK, &pipe_only, &old) != 0) return -1;
    const bool was_pending = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    ssize_t n;
    do {
        n = write(fd, buf, len);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    if (n < 0 && err == EPIPE && !was_pending) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipe_only, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
}

}  // namespace

int plat_spawn_self(const char* const* args, int nargs, const char* out_path, bool append_out, plat_child* child,
                    char* why, size_t why_len) {
    child->process = child->to_child = child->from_child = PLAT_INVALID_HANDLE;
    char exe[PATH_MAX];
    const ssize_t exe_len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (exe_len < 0) {
        say(why, why_len, "readlink", "/proc/self/exe", errno);
        return -1;
    }
    exe[exe_len] = '\0';
    char** argv = static_cast<char**>(malloc((static_cast<size_t>(nargs) + 2) * sizeof(char*)));
    if (argv == nullptr) {
        say(why, why_len, "malloc", nullptr, ENOMEM);
        return -1;
    }
    argv[0] = exe;
    for (int i = 0; i < nargs; i++) argv[i + 1] = const_cast<char*>(args[i]);
    argv[nargs + 1] = nullptr;

    SpawnFds f;
    pid_t pid = -1;
    int rc = open_child_fds(&f, out_path, append_out, why, why_len);
    if (rc == 0) {
        rc = spawn(f, argv, &pid);
        if (rc != 0) say(why, why_len, "posix_spawn", nullptr, rc);
    }
    free(argv);
    if (rc != 0) {
        close_all(&f);
        return -1;
    }
    child->process = pid;
    child->to_child = f.in_write;
    child->from_child = f.err_read;
    f.in_write = f.err_read = -1;
    close_all(&f);  // the child's ends: it alone holds them now
    return 0;
}

int plat_child_write(const plat_child* child, const void* buf, size_t len) {
    if (child->to_child < 0) return -1;
    // Up to PIPE_BUF bytes go into a pipe whole or not at all.
    const ssize_t n = write_without_sigpipe(static_cast<int>(child->to_child), buf, len);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? 1 : -1;
    return static_cast<size_t>(n) == len ? 0 : -1;
}

int plat_child_read(const plat_child* child, void* buf, size_t cap) {
    if (child->from_child < 0) return -1;
    ssize_t n;
    do {
        n = read(static_cast<int>(child->from_child), buf, cap);
    } while (n < 0 && errno == EINTR);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return -1;
}

int plat_children_ready(const plat_child* const* children, int n, bool* ready) {
    static pollfd* fds = nullptr;
    static int fds_cap = 0;
    if (n > fds_cap) {
        pollfd* grown = static_cast<pollfd*>(realloc(fds, static_cast<size_t>(n) * sizeof *fds));
        if (grown == nullptr) return -1;
        fds = grown;
        fds_cap = n;
    }
    for (int i = 0; i < n; ++i) fds[i] = pollfd{static_cast<int>(children[i]->from_child), POLLIN, 0};
    int r;
    do {
        r = poll(fds, static_cast<nfds_t>(n), 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    for (int i = 0; i < n; ++i) ready[i] = fds[i].revents != 0;
    return 0;
}

void plat_child_close_input(plat_child* child) {
    if (child->to_child >= 0) close(static_cast<int>(child->to_child));
    child->to_child = PLAT_INVALID_HANDLE;
}

int plat_child_reap(plat_child* child, int* status, bool wait) {
    int st = 0;
    pid_t r = -1;
    if (child->process > 0) {
        do {
            r = waitpid(static_cast<pid_t>(child->process), &st, wait ? 0 : WNOHANG);
        } while (r < 0 && errno == EINTR);
        if (r == 0) return 0;
    }
    // A child that cannot be waited for (reaped elsewhere) counts as ended
    // without a status, or its caller would wait for it for ever.
    *status = r > 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    plat_child_close_input(child);
    if (child->from_child >= 0) close(static_cast<int>(child->from_child));
    child->from_child = PLAT_INVALID_HANDLE;
    child->process = PLAT_INVALID_HANDLE;
    return 1;
}

int plat_stdin_read(void* buf, size_t cap) {
    ssize_t n;
    do {
        n = read(0, buf, cap);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

int plat_stderr_write(const void* buf, size_t len) {
    ssize_t n;
    do {
        n = write(2, buf, len);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(len) ? 0 : -1;
}

void plat_yield_to_parent(void) {
    // nice's own default step: a tenth of the parent's weight when both want
    // the CPU, and no privilege needed.
    errno = 0;
    const int now = getpriority(PRIO_PROCESS, 0);
    if (errno == 0) setpriority(PRIO_PROCESS, 0, now + 10);
}

bool plat_stdout_is_live_terminal(void) {
    // As git does: without TERM nothing says which sequences the terminal takes.
    const char* term = getenv("TERM");
    return isatty(1) == 1 && term != nullptr && term[0] != '\0' && strcmp(term, "dumb") != 0;
}

uint64_t plat_raise_open_files(uint64_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur >= wanted) return limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 && getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    return limit.rlim_cur;
}

int plat_make_dir(const char* path) {
    if (mkdir(path, 0777) == 0) return 0;
    struct stat st;
    return errno == EEXIST && stat(path, &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

plat_handle plat_open_append(const char* path, char* why, size_t why_len) {
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        say(why, why_len, "open", path, errno);
        return PLAT_INVALID_HANDLE;
    }
    return fd;
}

int plat_append(plat_handle file, const void* buf, size_t len) {
    const char* p = static_cast<const char*>(buf);
    // O_APPEND places each write at the end as one piece; only a full disk
    // or a signal cuts one short.
    while (len > 0) {
        const ssize_t n = write(static_cast<int>(file), p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

uint64_t plat_utc_ms(void) {
    if (plat_clock_hook hook = g_clock_hook.load(std::memory_order_acquire)) return kPlatFakeEpochUtcMs + hook();
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

// libcrypto is opened only here, when a report wants the hash: mapped into
// every run it would take more memory than the rest of lanflash, and a
// parallel run's workers never hash.
int plat_sha256(const void* data, size_t len, uint8_t out[PLAT_SHA256_BYTES], char* why, size_t why_len) {
    static const char kLibrary[] = "libcrypto.so.3";
    void* lib = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        if (why != nullptr && why_len > 0) snprintf(why, why_len, "dlopen %s: %s", kLibrary, dlerror());
        return -1;
    }
    const auto digest = reinterpret_cast<decltype(&EVP_Digest)>(dlsym(lib, "EVP_Digest"));
    const auto sha256 = reinterpret_cast<decltype(&EVP_sha256)>(dlsym(lib, "EVP_sha256"));
    unsigned int n = 0;
    if (digest == nullptr || sha256 == nullptr) {
        if (why != nullptr && why_len > 0) snprintf(why, why_len, "dlsym %s: EVP_Digest or EVP_sha256 missing", kLibrary);
        return -1;
    }
    if (digest(data, len, out, &n, sha256(), nullptr) != 1 || n != PLAT_SHA256_BYTES) {
        if (why != nullptr && why_len > 0) snprintf(why, why_len, "EVP_Digest: SHA-256 failed");
        return -1;
    }
    return 0;
}
