// The records between a parallel run's parent and its workers.
#include "wire.h"

#include <cstring>

size_t WireEncode(uint32_t type, const void* payload, uint32_t len, char* out) {
    const WireHeader h{type, len};
    out[0] = kWireMark;
    memcpy(out + 1, &h, sizeof h);
    if (len > 0) memcpy(out + 1 + sizeof h, payload, len);
    return 1 + sizeof h + len;
}

long WireDecode(const char* in, size_t n, WireHeader* h) {
    if (n == 0) return 0;
    if (in[0] != kWireMark) return -1;
    if (n < 1 + sizeof *h) return 0;
    memcpy(h, in + 1, sizeof *h);
    if (h->len > kWireMaxPayloadBytes) return -1;
    const size_t whole = 1 + sizeof *h + h->len;
    return n < whole ? 0 : static_cast<long>(whole);
}
