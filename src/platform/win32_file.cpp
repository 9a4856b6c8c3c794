// Windows implementation of inc/platform.h: the terminal, files and the
// image's hash.
#include "platform.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <cstring>

#include "win32_say.h"

using win32::as_handle;
using win32::say;

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004  // Windows 10; older mingw headers lack it
#endif

bool plat_stdout_is_live_terminal(void) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode)) return false;  // a pipe or a file
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // Refused by consoles before Windows 10, which take no ANSI sequences.
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

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
