// POSIX (Linux) implementation of inc/platform.h: workers, from either side.
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix_say.h"

using posix::say;

namespace {

// A child that could not become a worker ends with the shell's status for
// a command that could not be run.
constexpr int kExecFailed = 127;

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

// 0 or an error number. fork, not posix_spawn: posix_spawn returns only
// once the child has called exec, and with a thousand busy workers a new
// child may wait long for a CPU while we have machines to listen to and
// others to start. The child leaves our process group first (the
// terminal's Ctrl-C reaches only us, and we pass a stop on in our own way),
// then unblocks the console signals that our sigwait thread takes; between
// fork and exec it makes only calls that are safe in a copy of a process
// with threads.
int spawn(const SpawnFds& f, int program, char* const* argv, pid_t* pid) {
    sigset_t none;
    sigemptyset(&none);
    const pid_t child = fork();
    if (child < 0) return errno;
    if (child == 0) {
        setpgid(0, 0);
        if (dup2(f.in_read, 0) < 0 || dup2(f.out, 1) < 0 || dup2(f.err_write, 2) < 0) _exit(kExecFailed);
        // Descriptors that others opened without close-on-exec, or that we
        // inherited, stay with us as well; the program's own closes on exec.
        const unsigned keep = static_cast<unsigned>(program);
        if (keep > 3) syscall(SYS_close_range, 3u, keep - 1, 0u);
        syscall(SYS_close_range, keep + 1, ~0u, 0u);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        fexecve(program, argv, environ);
        static const char kFailed[] = "fexecve failed: cannot start a worker\n";
        (void)!write(2, kFailed, sizeof kFailed - 1);
        _exit(kExecFailed);
    }
    setpgid(child, child);  // whichever of us comes first
    *pid = child;
    return 0;
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

// Our own program, opened once, and its path for the workers' argv[0].
int program_fd = -1;
char program_path[PATH_MAX];

// Opens it, the first time: it stays the program we run if its file is
// replaced meanwhile, and a thousand workers' execs need no lookup in
// /proc, whose entries each worker's end would then have to clear. (At
// file scope, not a function's statics: their guarded start would pull in
// the C++ runtime's unwinding. Only the parent's main thread starts workers.)
bool OpenProgram(char* why, size_t why_len) {
    if (program_fd >= 0) return true;
    const ssize_t len = readlink("/proc/self/exe", program_path, sizeof program_path - 1);
    if (len < 0) {
        say(why, why_len, "readlink", "/proc/self/exe", errno);
        return false;
    }
    program_path[len] = '\0';
    program_fd = open("/proc/self/exe", O_PATH | O_CLOEXEC);
    if (program_fd < 0) {
        say(why, why_len, "open", "/proc/self/exe", errno);
        return false;
    }
    return true;
}

}  // namespace

int plat_spawn_self(const char* const* args, int nargs, const char* out_path, bool append_out, plat_child* child,
                    char* why, size_t why_len) {
    child->process = child->to_child = child->from_child = PLAT_INVALID_HANDLE;
    if (!OpenProgram(why, why_len)) return -1;
    char** argv = static_cast<char**>(malloc((static_cast<size_t>(nargs) + 2) * sizeof(char*)));
    if (argv == nullptr) {
        say(why, why_len, "malloc", nullptr, ENOMEM);
        return -1;
    }
    argv[0] = program_path;
    for (int i = 0; i < nargs; i++) argv[i + 1] = const_cast<char*>(args[i]);
    argv[nargs + 1] = nullptr;

    SpawnFds f;
    pid_t pid = -1;
    int rc = open_child_fds(&f, out_path, append_out, why, why_len);
    if (rc == 0) {
        rc = spawn(f, program_fd, argv, &pid);
        if (rc != 0) say(why, why_len, "fork", nullptr, rc);
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

uint64_t plat_raise_open_files(uint64_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur >= wanted) return limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0 && getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    return limit.rlim_cur;
}
