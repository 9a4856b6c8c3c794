/* Preloaded into lanflash by bench/run.py to measure a transfer with Nagle's
 * algorithm left on: TCP_NODELAY requests succeed without reaching the
 * kernel. Everything else goes to the real setsockopt. The first swallowed
 * request leaves one line on stderr, so the benchmark can tell that the
 * preload took effect. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <sys/socket.h>

typedef int (*setsockopt_fn)(int, int, int, const void *, socklen_t);

int setsockopt(int fd, int level, int name, const void *value, socklen_t len)
{
    static int reported;
    if (level == IPPROTO_TCP && name == TCP_NODELAY) {
        if (!reported) {
            reported = 1;
            fputs("no_nodelay: TCP_NODELAY ignored\n", stderr);
        }
        return 0;
    }
    setsockopt_fn real = (setsockopt_fn)dlsym(RTLD_NEXT, "setsockopt");
    return real ? real(fd, level, name, value, len) : -1;
}
