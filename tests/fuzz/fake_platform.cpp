#include "fake_platform.h"

#include <arpa/inet.h>

#include <atomic>

namespace fake {
std::vector<uint8_t> sent;
}

namespace {
std::atomic<plat_sleep_hook> g_hook{nullptr};
}

int plat_sockets_startup(void) { return 0; }
plat_socket plat_udp_open_bound(uint16_t) { return fake::kSocket; }
plat_socket plat_udp_listen(uint16_t, bool*, char*, size_t) { return fake::kSocket; }
// The targets fill the datagram buffer themselves, as the listener would.
int plat_udp_recv(plat_socket, void*, size_t, uint32_t*) { return PLAT_RECV_ERROR; }
plat_socket plat_tcp_socket(void) { return fake::kSocket; }
int plat_tcp_connect(plat_socket, const plat_sockaddr_in*) { return 0; }

int plat_send(plat_socket s, const void* buf, size_t len) {
    if (s == PLAT_INVALID_SOCKET) return -1;
    const uint8_t* p = static_cast<const uint8_t*>(buf);
    fake::sent.insert(fake::sent.end(), p, p + len);
    return static_cast<int>(len);
}

// The targets play the link thread's part themselves.
int plat_recv(plat_socket, void*, size_t) { return 0; }
void plat_close(plat_socket) {}
void plat_shutdown(plat_socket) {}
uint64_t plat_now_ms(void) { return 0; }
uint16_t plat_htons(uint16_t host) { return htons(host); }
uint32_t plat_inet_addr(const char* text) { return inet_addr(text); }

void plat_sleep_ms(uint32_t ms) {
    if (plat_sleep_hook hook = g_hook.load()) hook(ms);
}
void plat_set_sleep_hook(plat_sleep_hook hook) { g_hook.store(hook); }
void plat_news_post(plat_news* news) { news->fetch_add(1); }
void plat_news_wait(plat_news* news, uint32_t seen, uint32_t ms) {
    if (news->load() == seen) plat_sleep_ms(ms);
}

int plat_start_thread(plat_thread_fn) { return -1; }
int plat_install_console_handler(plat_console_handler) { return -1; }

// The fleet module's report and worker channel; unused by the targets.
int plat_stdin_read(void*, size_t) { return 0; }
plat_handle plat_open_append(const char*, char*, size_t) { return PLAT_INVALID_HANDLE; }
int plat_append(plat_handle, const void*, size_t) { return -1; }
uint64_t plat_utc_ms(void) { return 0; }
int plat_sha256(const void*, size_t, uint8_t out[PLAT_SHA256_BYTES], char*, size_t) {
    for (size_t i = 0; i < PLAT_SHA256_BYTES; ++i) out[i] = 0;
    return 0;
}
void plat_set_clock_hook(plat_clock_hook) {}
void plat_socket_error(char* why, size_t why_len) {
    if (why_len > 0) why[0] = '\0';
}
int plat_stderr_write(const void*, size_t) { return -1; }
