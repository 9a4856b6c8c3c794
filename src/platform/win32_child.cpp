// Windows implementation of inc/platform.h: workers, from either side.
#include "platform.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "win32_say.h"

using win32::as_handle;
using win32::say;

namespace {

// Room for a worker's pending records and event lines, so that neither side
// waits on the other while it is busy elsewhere.
constexpr DWORD kPipeBytes = 64 * 1024;

// The most CreateProcess takes, and the longest path Windows has.
constexpr size_t kMaxCommandLine = 32768;

void close_handle(HANDLE* h) {
    if (*h != INVALID_HANDLE_VALUE && *h != nullptr) CloseHandle(*h);
    *h = INVALID_HANDLE_VALUE;
}

void close_handle(plat_handle* h) {
    if (*h != PLAT_INVALID_HANDLE) CloseHandle(as_handle(*h));
    *h = PLAT_INVALID_HANDLE;
}

// A command line that grows up to kMaxCommandLine characters.
struct CommandLine {
    wchar_t* text = static_cast<wchar_t*>(malloc(kMaxCommandLine * sizeof(wchar_t)));
    size_t len = 0;
    bool overflow = text == nullptr;
    ~CommandLine() { free(text); }
    void put(wchar_t c, size_t times = 1) {
        for (; times > 0 && !overflow; times--) {
            if (len + 1 >= kMaxCommandLine) overflow = true;
            else text[len++] = c;
        }
        if (!overflow) text[len] = L'\0';
    }
};

// One argument written so that the C runtime and CommandLineToArgvW split
// it back as it was: backslashes are literal except before a quote, where
// each pair stands for one and an odd one makes the quote a character.
void put_quoted(CommandLine* line, const wchar_t* arg) {
    if (arg[0] != L'\0' && wcspbrk(arg, L" \t\n\v\"") == nullptr) {
        for (const wchar_t* p = arg; *p != L'\0'; p++) line->put(*p);
        return;
    }
    line->put(L'"');
    for (const wchar_t* p = arg;; p++) {
        size_t backslashes = 0;
        while (*p == L'\\') {
            backslashes++;
            p++;
        }
        if (*p == L'\0') {
            line->put(L'\\', backslashes * 2);  // the closing quote follows
            break;
        }
        if (*p == L'"') line->put(L'\\', backslashes * 2 + 1);
        else line->put(L'\\', backslashes);
        line->put(*p);
    }
    line->put(L'"');
}

// The arguments come in the ANSI code page, as main() received them; they
// are quoted as UTF-16, since in a double-byte code page the second byte of
// a character can be a backslash.
int build_command_line(CommandLine* line, const wchar_t* exe, const char* const* args, int nargs) {
    // Our own path, which holds no quote, so needs no escaping.
    line->put(L'"');
    for (const wchar_t* p = exe; *p != L'\0'; p++) line->put(*p);
    line->put(L'"');
    wchar_t* wide = static_cast<wchar_t*>(malloc(kMaxCommandLine * sizeof(wchar_t)));
    if (wide == nullptr) return -1;
    for (int i = 0; i < nargs && !line->overflow; i++) {
        if (MultiByteToWideChar(CP_ACP, 0, args[i], -1, wide, static_cast<int>(kMaxCommandLine)) == 0) {
            line->overflow = true;
            break;
        }
        line->put(L' ');
        put_quoted(line, wide);
    }
    free(wide);
    return line->overflow ? -1 : 0;
}

// The handles of one start, until the child and the plat_child hold them.
struct SpawnHandles {
    HANDLE in_read = INVALID_HANDLE_VALUE;    // its standard input
    HANDLE in_write = INVALID_HANDLE_VALUE;   // ours
    HANDLE err_read = INVALID_HANDLE_VALUE;   // ours
    HANDLE err_write = INVALID_HANDLE_VALUE;  // its standard error
    HANDLE out = INVALID_HANDLE_VALUE;        // its standard output
    ~SpawnHandles() {
        close_handle(&in_read);
        close_handle(&in_write);
        close_handle(&err_read);
        close_handle(&err_write);
        close_handle(&out);
    }
};

// Only the child's end is inheritable: a worker holding our end of a
// sibling's input would keep that sibling from seeing end of file.
int open_pipe(HANDLE* child_end, HANDLE* our_end, bool child_reads, char* why, size_t why_len) {
    HANDLE read_end, write_end;
    if (!CreatePipe(&read_end, &write_end, nullptr, kPipeBytes)) {
        say(why, why_len, "CreatePipe", nullptr, GetLastError());
        return -1;
    }
    *child_end = child_reads ? read_end : write_end;
    *our_end = child_reads ? write_end : read_end;
    if (!SetHandleInformation(*child_end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        say(why, why_len, "SetHandleInformation", nullptr, GetLastError());
        return -1;
    }
    return 0;
}

int open_out(const char* out_path, bool append, HANDLE* out, char* why, size_t why_len) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const char* path = out_path != nullptr ? out_path : "NUL";
    // Readers may look at a worker's log while it writes. FILE_APPEND_DATA
    // alone puts every write at the end.
    const DWORD access = append && out_path != nullptr ? FILE_APPEND_DATA : GENERIC_WRITE;
    const DWORD how = out_path == nullptr ? OPEN_EXISTING : append ? OPEN_ALWAYS : CREATE_ALWAYS;
    *out = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited, how, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
    if (*out == INVALID_HANDLE_VALUE) {
        say(why, why_len, "CreateFile", path, GetLastError());
        return -1;
    }
    return 0;
}

int open_child_handles(SpawnHandles* h, const char* out_path, bool append, char* why, size_t why_len) {
    if (open_pipe(&h->in_read, &h->in_write, true, why, why_len) != 0) return -1;
    if (open_pipe(&h->err_write, &h->err_read, false, why, why_len) != 0) return -1;
    return open_out(out_path, append, &h->out, why, why_len);
}

// The worker inherits its three standard handles and nothing else, even
// what other code in this process made inheritable.
struct HandleList {
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;
    HANDLE handles[3];
    ~HandleList() {
        if (list != nullptr) {
            DeleteProcThreadAttributeList(list);
            free(list);
        }
    }
    // nullptr, or the failing call, its error in *err.
    const char* make(const SpawnHandles& h, DWORD* err) {
        handles[0] = h.in_read;
        handles[1] = h.out;
        handles[2] = h.err_write;
        SIZE_T size = 0;
        (void)InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // only asks for the size
        list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(malloc(size));
        *err = ERROR_NOT_ENOUGH_MEMORY;
        if (list == nullptr) return "malloc";
        if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
            *err = GetLastError();
            free(list);
            list = nullptr;
            return "InitializeProcThreadAttributeList";
        }
        if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles, sizeof handles, nullptr,
                                       nullptr)) {
            *err = GetLastError();
            return "UpdateProcThreadAttribute";
        }
        return nullptr;
    }
};

// The worker gets no console, so none of its events, and a process group
// of its own: we pass a stop on in our own way.
constexpr DWORD kWorkerFlags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP | EXTENDED_STARTUPINFO_PRESENT;

int start(const SpawnHandles& h, const wchar_t* exe, wchar_t* command_line, PROCESS_INFORMATION* pi, char* why,
          size_t why_len) {
    HandleList inherit;
    DWORD err = 0;
    if (const char* failed = inherit.make(h, &err)) {
        say(why, why_len, failed, nullptr, err);
        return -1;
    }
    STARTUPINFOEXW si;
    memset(&si, 0, sizeof si);
    si.StartupInfo.cb = sizeof si;
    si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    si.StartupInfo.hStdInput = h.in_read;
    si.StartupInfo.hStdOutput = h.out;
    si.StartupInfo.hStdError = h.err_write;
    si.lpAttributeList = inherit.list;
    if (!CreateProcessW(exe, command_line, nullptr, nullptr, TRUE, kWorkerFlags, nullptr, nullptr,
                        &si.StartupInfo, pi)) {
        say(why, why_len, "CreateProcess", nullptr, GetLastError());
        return -1;
    }
    return 0;
}

}  // namespace

int plat_spawn_self(const char* const* args, int nargs, const char* out_path, bool append_out, plat_child* child,
                    char* why, size_t why_len) {
    child->process = child->to_child = child->from_child = PLAT_INVALID_HANDLE;
    // UTF-16, since the ANSI form of a path can lose characters.
    wchar_t* exe = static_cast<wchar_t*>(malloc(kMaxCommandLine * sizeof(wchar_t)));
    if (exe == nullptr) {
        say(why, why_len, "malloc", nullptr, ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    const DWORD exe_len = GetModuleFileNameW(nullptr, exe, static_cast<DWORD>(kMaxCommandLine));
    const DWORD exe_err = exe_len == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    CommandLine line;
    SpawnHandles h;
    PROCESS_INFORMATION pi;
    int r = -1;
    if (exe_len == 0 || exe_len >= kMaxCommandLine) {
        say(why, why_len, "GetModuleFileName", nullptr, exe_err);
    } else if (build_command_line(&line, exe, args, nargs) != 0) {
        say(why, why_len, "CreateProcess", nullptr, ERROR_FILENAME_EXCED_RANGE);  // what it would say
    } else if (open_child_handles(&h, out_path, append_out, why, why_len) == 0) {
        r = start(h, exe, line.text, &pi, why, why_len);
    }
    free(exe);
    if (r != 0) return -1;
    CloseHandle(pi.hThread);
    child->process = reinterpret_cast<plat_handle>(pi.hProcess);
    child->to_child = reinterpret_cast<plat_handle>(h.in_write);
    child->from_child = reinterpret_cast<plat_handle>(h.err_read);
    h.in_write = h.err_read = INVALID_HANDLE_VALUE;
    return 0;  // h closes the child's ends: it alone holds them now
}

int plat_child_write(const plat_child* child, const void* buf, size_t len) {
    if (child->to_child == PLAT_INVALID_HANDLE) return -1;
    // Anonymous pipes cannot refuse a write that does not fit whole, so this
    // one waits while the pipe is full.
    DWORD sent = 0;
    if (!WriteFile(as_handle(child->to_child), buf, static_cast<DWORD>(len), &sent, nullptr)) return -1;
    return sent == len ? 0 : -1;
}

int plat_child_read(const plat_child* child, void* buf, size_t cap) {
    if (child->from_child == PLAT_INVALID_HANDLE) return -1;
    const HANDLE pipe = as_handle(child->from_child);
    DWORD waiting = 0;
    // Only what is there: a ReadFile of more would wait for it.
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) return -1;
    if (waiting == 0) return 0;
    const DWORD want = cap < waiting ? static_cast<DWORD>(cap) : waiting;
    DWORD got = 0;
    if (!ReadFile(pipe, buf, want, &got, nullptr)) return -1;
    return static_cast<int>(got);
}

// Anonymous pipes cannot be waited on: a look at each is what there is.
int plat_children_ready(const plat_child* const* children, int n, bool* ready) {
    for (int i = 0; i < n; ++i) {
        DWORD waiting = 0;
        const plat_handle from = children[i]->from_child;
        ready[i] = from == PLAT_INVALID_HANDLE || !PeekNamedPipe(as_handle(from), nullptr, 0, nullptr, &waiting, nullptr) ||
                   waiting > 0;
    }
    return 0;
}

void plat_child_close_input(plat_child* child) { close_handle(&child->to_child); }

int plat_child_reap(plat_child* child, int* status, bool wait) {
    DWORD code = 0;
    bool known = false;
    if (child->process != PLAT_INVALID_HANDLE) {
        const DWORD r = WaitForSingleObject(as_handle(child->process), wait ? INFINITE : 0);
        if (r == WAIT_TIMEOUT) return 0;
        known = r == WAIT_OBJECT_0 && GetExitCodeProcess(as_handle(child->process), &code);
    }
    // Exception and termination codes (0xC0000005, 0xC000013A) are the
    // counterpart of a POSIX signal: the program did not choose them.
    *status = known && code < 0xC0000000 ? static_cast<int>(code) : -1;
    close_handle(&child->process);
    close_handle(&child->to_child);
    close_handle(&child->from_child);
    return 1;
}

int plat_stdin_read(void* buf, size_t cap) {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (in == nullptr || in == INVALID_HANDLE_VALUE) return -1;
    const DWORD want = cap < MAXDWORD ? static_cast<DWORD>(cap) : MAXDWORD;
    DWORD got = 0;
    // A pipe whose writer closed reports that as an error.
    if (!ReadFile(in, buf, want, &got, nullptr)) return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    return static_cast<int>(got);
}

// WriteFile rather than the C library's stderr, which would turn a 0x0A
// byte of a record into CR LF.
int plat_stderr_write(const void* buf, size_t len) {
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE) return -1;
    DWORD wrote = 0;
    return WriteFile(err, buf, static_cast<DWORD>(len), &wrote, nullptr) && wrote == len ? 0 : -1;
}

void plat_yield_to_parent(void) { SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS); }

uint64_t plat_raise_open_files(uint64_t wanted) { return wanted; }
