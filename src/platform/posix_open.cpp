// POSIX (Linux) implementation of what some options open for a run
// (inc/platform.h): shared libraries, locks that die with their holder, a
// listening TCP socket.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "posix_say.h"

using posix::say;

plat_library plat_library_open(const char* name, char* why, size_t why_len) {
    void* lib = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr && why != nullptr && why_len > 0) snprintf(why, why_len, "dlopen %s: %s", name, dlerror());
    return lib;
}

void* plat_library_symbol(plat_library lib, const char* name) { return lib != nullptr ? dlsym(lib, name) : nullptr; }

namespace {

// One descriptor per lock file, kept open: open-file-description locks
// belong to it, not to the process, so closing another descriptor of the
// same file (as a library may) never drops them.
struct LockFile {
    char path[4096];
    int fd;
};
LockFile lock_file = {"", -1};

int OpenLockFile(const char* path, char* why, size_t why_len) {
    if (lock_file.fd >= 0 && strcmp(lock_file.path, path) == 0) return lock_file.fd;
    if (strlen(path) >= sizeof lock_file.path) {
        snprintf(why, why_len, "%s: the path is too long", path);
        return -1;
    }
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        say(why, why_len, "open", path, errno);
        return -1;
    }
    if (lock_file.fd >= 0) close(lock_file.fd);
    snprintf(lock_file.path, sizeof lock_file.path, "%s", path);
    lock_file.fd = fd;
    return fd;
}

struct flock Slot(uint64_t slot) {
    struct flock l;
    memset(&l, 0, sizeof l);
    l.l_type = F_WRLCK;
    l.l_whence = SEEK_SET;
    l.l_start = static_cast<off_t>(slot);
    l.l_len = 1;
    return l;
}

}  // namespace

int plat_slot_hold(const char* path, uint64_t slot, char* why, size_t why_len) {
    const int fd = OpenLockFile(path, why, why_len);
    if (fd < 0) return -1;
    struct flock l = Slot(slot);
    if (fcntl(fd, F_OFD_SETLK, &l) != 0) {
        say(why, why_len, "fcntl F_OFD_SETLK", path, errno);
        return -1;
    }
    return 0;
}

int plat_slot_held(const char* path, uint64_t slot, char* why, size_t why_len) {
    const int fd = OpenLockFile(path, why, why_len);
    if (fd < 0) return -1;
    struct flock l = Slot(slot);
    if (fcntl(fd, F_OFD_GETLK, &l) != 0) {
        say(why, why_len, "fcntl F_OFD_GETLK", path, errno);
        return -1;
    }
    return l.l_type == F_UNLCK ? 0 : 1;
}

plat_socket plat_tcp_listen(uint32_t addr, uint16_t port, bool* in_use, char* why, size_t why_len) {
    *in_use = false;
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        say(why, why_len, "socket", nullptr, errno);
        return PLAT_INVALID_SOCKET;
    }
    // A restart right after the last run must find its port free, whatever
    // connections of the last one linger.
    const int one = 1;
    (void)setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = addr;
    local.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(s, 16) != 0) {
        const int err = errno;
        close(s);
        *in_use = err == EADDRINUSE;
        snprintf(why, why_len, "%s", strerror(err));
        return PLAT_INVALID_SOCKET;
    }
    return s;
}
