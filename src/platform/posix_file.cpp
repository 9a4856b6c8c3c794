// POSIX (Linux) implementation of inc/platform.h: the terminal, files and
// the image's hash.
#include "platform.h"

#include <dlfcn.h>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix_say.h"

using posix::say;

bool plat_stdout_is_live_terminal(void) {
    // As git does: without TERM nothing says which sequences the terminal takes.
    const char* term = getenv("TERM");
    return isatty(1) == 1 && term != nullptr && term[0] != '\0' && strcmp(term, "dumb") != 0;
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
