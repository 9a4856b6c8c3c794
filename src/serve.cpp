// The status page's HTTP server: libmicrohttpd driven by a thread of ours,
// one request at a time, each answered from a copy of the state.
#include "serve.h"

#include <microhttpd.h>

#include <cstdio>
#include <cstring>

#include "platform.h"
#include "status.h"

namespace {

struct Mhd {
    decltype(&MHD_start_daemon) start_daemon;
    decltype(&MHD_run_wait) run_wait;
    decltype(&MHD_create_response_from_buffer) create_response;
    decltype(&MHD_add_response_header) add_header;
    decltype(&MHD_queue_response) queue_response;
    decltype(&MHD_destroy_response) destroy_response;
};
Mhd mhd;
MHD_Daemon* server = nullptr;
ServeHistory history_of = nullptr;

constexpr unsigned kMostConnections = 32;
constexpr unsigned kIdleSeconds = 10;
constexpr int32_t kWaitMs = 1000;
constexpr uint32_t kFailedPauseMs = 100;
// The history is read at most this often, however many browsers poll.
constexpr uint64_t kHistoryMs = 1000;
constexpr size_t kHistoryBytes = 32768;
constexpr char kReadOnly[] = "read-only: GET or HEAD only\n";
constexpr char kNotFound[] = "not found: /, /api/status or /metrics\n";

// The page's thread's own: the copy of the state, and the history.
StatusView view;
char history[kHistoryBytes];
uint64_t history_at = 0;
bool history_read = false;

template <typename F>
bool Find(plat_library lib, const char* name, F* out, char* why, size_t why_len) {
    *out = reinterpret_cast<F>(plat_library_symbol(lib, name));
    if (*out == nullptr) snprintf(why, why_len, "libmicrohttpd has no %s", name);
    return *out != nullptr;
}

MHD_Result Send(MHD_Connection* c, unsigned status, const char* type, const void* body, size_t len, bool copy) {
    MHD_Response* r = mhd.create_response(len, const_cast<void*>(body), copy ? MHD_RESPMEM_MUST_COPY : MHD_RESPMEM_PERSISTENT);
    if (r == nullptr) return MHD_NO;
    mhd.add_header(r, "Content-Type", type);
    mhd.add_header(r, "Cache-Control", "no-store");
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) mhd.add_header(r, "Allow", "GET, HEAD");
    const MHD_Result queued = mhd.queue_response(c, status, r);
    mhd.destroy_response(r);
    return queued;
}

const char* History(void) {
    if (history_of == nullptr) return nullptr;
    const uint64_t now = plat_now_ms();
    if (!history_read || now >= history_at + kHistoryMs) {
        if (history_of(history, sizeof history) == 0) history[0] = '\0';
        history_at = now;
        history_read = true;
    }
    return history;
}

MHD_Result Answer(void*, MHD_Connection* c, const char* url, const char* method, const char*, const char*, size_t*,
                  void**) {
    if (strcmp(method, "GET") != 0 && strcmp(method, "HEAD") != 0)
        return Send(c, MHD_HTTP_METHOD_NOT_ALLOWED, "text/plain; charset=utf-8", kReadOnly, sizeof kReadOnly - 1, false);
    if (strcmp(url, "/") == 0)
        return Send(c, MHD_HTTP_OK, "text/html; charset=utf-8", kServePage, strlen(kServePage), false);
    const bool json = strcmp(url, "/api/status") == 0;
    if (!json && strcmp(url, "/metrics") != 0)
        return Send(c, MHD_HTTP_NOT_FOUND, "text/plain; charset=utf-8", kNotFound, sizeof kNotFound - 1, false);
    Text out;
    if (StatusCopy(&view)) {
        if (json) {
            StatusJson(view, History(), plat_utc_ms(), out);
        } else {
            StatusMetrics(view, plat_utc_ms(), out);
        }
    }
    MHD_Result sent;
    if (out.failed || out.p == nullptr) {
        static const char kNoMemory[] = "out of memory\n";
        sent = Send(c, MHD_HTTP_SERVICE_UNAVAILABLE, "text/plain; charset=utf-8", kNoMemory, sizeof kNoMemory - 1, false);
    } else {
        sent = Send(c, MHD_HTTP_OK, json ? "application/json" : "text/plain; version=0.0.4; charset=utf-8", out.p, out.len,
                    true);
    }
    TextFree(out);
    return sent;
}

void Serve(void) {
    for (;;)
        if (mhd.run_wait(server, kWaitMs) != MHD_YES) plat_sleep_ms(kFailedPauseMs);
}

}  // namespace

bool ServeBuilt(char*, size_t) { return true; }

bool ServeOpen(uint32_t addr, uint16_t port, char* why, size_t why_len) {
    plat_library lib = plat_library_open("libmicrohttpd.so.12", why, why_len);
    if (lib == nullptr) return false;
    if (!Find(lib, "MHD_start_daemon", &mhd.start_daemon, why, why_len) ||
        !Find(lib, "MHD_run_wait", &mhd.run_wait, why, why_len) ||
        !Find(lib, "MHD_create_response_from_buffer", &mhd.create_response, why, why_len) ||
        !Find(lib, "MHD_add_response_header", &mhd.add_header, why, why_len) ||
        !Find(lib, "MHD_queue_response", &mhd.queue_response, why, why_len) ||
        !Find(lib, "MHD_destroy_response", &mhd.destroy_response, why, why_len))
        return false;
    bool in_use = false;
    char reason[160];
    const plat_socket s = plat_tcp_listen(addr, port, &in_use, reason, sizeof reason);
    if (s == PLAT_INVALID_SOCKET) {
        snprintf(why, why_len, "cannot listen on TCP port %u: %s", static_cast<unsigned>(port), reason);
        return false;
    }
    // Driven by our thread (MHD_run_wait), with epoll: no descriptor limit
    // of select() in a parent that holds a pipe per worker.
    server = mhd.start_daemon(MHD_USE_EPOLL, port, nullptr, nullptr, &Answer, nullptr, MHD_OPTION_LISTEN_SOCKET,
                              static_cast<MHD_socket>(s), MHD_OPTION_CONNECTION_LIMIT, kMostConnections,
                              MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_END);
    if (server == nullptr) {
        plat_close(s);
        snprintf(why, why_len, "libmicrohttpd would not start on TCP port %u", static_cast<unsigned>(port));
        return false;
    }
    return true;
}

void ServeStart(ServeHistory history) {
    history_of = history;
    if (server != nullptr) (void)plat_start_thread(Serve);
}
