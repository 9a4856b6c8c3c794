// Windows implementation of what some options open for a run
// (inc/platform.h): shared libraries, locks that die with their holder, a
// listening TCP socket.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "win32_say.h"

using win32::say;

namespace {

// One handle per lock file, kept open: its locks live as long as it does.
struct LockFile {
    char path[MAX_PATH];
    HANDLE file;
};
LockFile lock_file = {"", INVALID_HANDLE_VALUE};

HANDLE OpenLockFile(const char* path, char* why, size_t why_len) {
    if (lock_file.file != INVALID_HANDLE_VALUE && strcmp(lock_file.path, path) == 0) return lock_file.file;
    if (strlen(path) >= sizeof lock_file.path) {
        snprintf(why, why_len, "%s: the path is too long", path);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE f = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        say(why, why_len, "CreateFile", path, GetLastError());
        return f;
    }
    if (lock_file.file != INVALID_HANDLE_VALUE) CloseHandle(lock_file.file);
    snprintf(lock_file.path, sizeof lock_file.path, "%s", path);
    lock_file.file = f;
    return f;
}

BOOL LockSlot(HANDLE f, uint64_t slot, OVERLAPPED* at) {
    memset(at, 0, sizeof *at);
    at->Offset = static_cast<DWORD>(slot & 0xFFFFFFFFu);
    at->OffsetHigh = static_cast<DWORD>(slot >> 32);
    return LockFileEx(f, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, at);
}

}  // namespace

plat_library plat_library_open(const char* name, char* why, size_t why_len) {
    HMODULE lib = LoadLibraryA(name);
    if (lib == nullptr && why != nullptr && why_len > 0) say(why, why_len, "LoadLibrary", name, GetLastError());
    return reinterpret_cast<plat_library>(lib);
}

void* plat_library_symbol(plat_library lib, const char* name) {
    if (lib == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(lib), name));
}

int plat_slot_hold(const char* path, uint64_t slot, char* why, size_t why_len) {
    HANDLE f = OpenLockFile(path, why, why_len);
    if (f == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED at;
    if (!LockSlot(f, slot, &at)) {
        say(why, why_len, "LockFileEx", path, GetLastError());
        return -1;
    }
    return 0;
}

int plat_slot_held(const char* path, uint64_t slot, char* why, size_t why_len) {
    HANDLE f = OpenLockFile(path, why, why_len);
    if (f == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED at;
    if (!LockSlot(f, slot, &at)) {
        const DWORD err = GetLastError();
        if (err == ERROR_LOCK_VIOLATION) return 1;
        say(why, why_len, "LockFileEx", path, err);
        return -1;
    }
    (void)UnlockFileEx(f, 0, 1, 0, &at);
    return 0;
}

plat_socket plat_tcp_listen(uint32_t addr, uint16_t port, bool* in_use, char* why, size_t why_len) {
    *in_use = false;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        say(why, why_len, "socket", nullptr, static_cast<DWORD>(WSAGetLastError()));
        return PLAT_INVALID_SOCKET;
    }
    // A worker holding it would keep the port bound after we end.
    (void)SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = addr;
    local.sin_port = htons(port);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(s, 16) != 0) {
        const int err = WSAGetLastError();
        closesocket(s);
        *in_use = err == WSAEADDRINUSE;
        say(why, why_len, "bind", nullptr, static_cast<DWORD>(err));
        return PLAT_INVALID_SOCKET;
    }
    return static_cast<plat_socket>(s);
}
