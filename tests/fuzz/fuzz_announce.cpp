// The announcement parser and the discovery step of the sequencer over any
// datagram that a host on the network could send: shorter than, as long as
// and longer than the 512-byte buffer. Then the name field as the report
// writes it, judged by a real JSON parser.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>

#include "check.h"
#include "eth.h"
#include "json.h"
#include "main.h"
#include "mstate.h"
#include "platform.h"
#include "report.h"

namespace {

const uint8_t kSignature[11] = {0x22, 0xEF, 0x44, 0x1A, 0x33, 0xE9, 0xF1, 0x34, 0x54, 0x9E, 0x78};
constexpr size_t kAddressAt = 11;
constexpr size_t kNameAt = 27;
constexpr uint16_t kMachinePort = 888;

// The result the parser owes us, worked out from the bytes alone.
int ExpectedResult(bool explore) {
    if (memcmp(udpDataBuff, kSignature, sizeof kSignature) != 0) return -1;
    struct Name {
        const char* text;
        int result;
    };
    // The order matters only in principle: no name is a prefix of another.
    for (const Name& n : {Name{"BootTavix7", 1}, Name{"Tavix7", 2}, Name{"BootTavix5s", 1}, Name{"Tavix5S", 2}}) {
        if (memcmp(udpDataBuff + kNameAt, n.text, strlen(n.text)) == 0) return explore ? 3 : n.result;
    }
    return -1;
}

// What the listener hands over: the buffer zeroed, then the datagram in it.
// The listener drops a datagram longer than the buffer; here its first 512
// bytes are kept instead, the harder case of a buffer with no zero byte.
void Deliver(const uint8_t* data, size_t size) {
    memset(udpDataBuff, 0, BUF_SIZE);
    const size_t n = size < BUF_SIZE ? size : BUF_SIZE;
    if (n != 0) memcpy(udpDataBuff, data, n);
    UDPrecvedlength.store(static_cast<int>(n));
    flagUDPDataLocked.store(0);
    flagUDPDataPharsed.store(0);
}

void ParseOnce(const uint8_t* data, size_t size, bool explore) {
    Deliver(data, size);
    only_explore = explore ? 1 : 0;
    m_state = M_WAIT_FOR_UDP_DATA;
    machine_sockaddr = plat_sockaddr_in{};
    tcp_state.store(TCP_IDLE);

    const int expected = ExpectedResult(explore);
    const bool has_signature = memcmp(udpDataBuff, kSignature, sizeof kSignature) == 0;
    const uint32_t delay = PollMState();

    if (size == 0) {
        // Nothing waiting: the sequencer looks again a second later.
        CHECK(delay == 1000);
        CHECK(m_state == M_WAIT_FOR_UDP_DATA);
        CHECK(flagUDPDataPharsed.load() == 0);
        return;
    }
    // Every datagram is released, recognised or not.
    CHECK(UDPrecvedlength.load() == 0);
    CHECK(flagUDPDataPharsed.load() == 1);
    switch (expected) {
    case -1:
        CHECK(delay == 1000 && m_state == M_WAIT_FOR_UDP_DATA);
        break;
    case 1:
        CHECK(delay == 5 && m_state == M_BOOTLOADER_RECOGNIZED);
        break;
    case 2:
        CHECK(delay == 5 && m_state == M_MACHINE_RECOGNIZED && tcp_state.load() == TCP_INIT);
        break;
    case 3:
        CHECK(delay == 5 && m_state == M_IDLE);
        break;
    }
    if (expected != 2) CHECK(tcp_state.load() == TCP_IDLE);
    if (has_signature) {
        // Whatever the name: the sender's address, and always port 888.
        CHECK(machine_sockaddr.sin_family == PLAT_AF_INET);
        CHECK(machine_sockaddr.sin_port == plat_htons(kMachinePort));
        CHECK(memcmp(&machine_sockaddr.sin_addr, udpDataBuff + kAddressAt, 4) == 0);
    } else {
        CHECK(machine_sockaddr.sin_family == 0 && machine_sockaddr.sin_port == 0);
    }
}

// True when nlohmann's parser, which checks UTF-8 as RFC 3629 has it, takes
// these bytes (none of them ASCII) as the inside of a string.
bool ValidUtf8(const char* bytes, size_t len) {
    std::string quoted = "\"";
    quoted.append(bytes, len);
    quoted += '"';
    return !nlohmann::json::parse(quoted, nullptr, false).is_discarded();
}

// The name as far as the datagram goes, read from the input itself: its
// buffer ends with the datagram, so ASan sees any read beyond the name.
void CheckEscaping(const uint8_t* data, size_t size) {
    const size_t end = size < BUF_SIZE ? size : BUF_SIZE;
    const size_t len = end > kNameAt ? end - kNameAt : 0;
    const char* name = reinterpret_cast<const char*>(data) + (len > 0 ? kNameAt : 0);
    static char out[6 * BUF_SIZE + 3];
    const size_t n = JsonString(name, len, out, sizeof out);
    CHECK(n >= 2 && n == strlen(out));
    for (size_t i = 0; i < n; ++i) CHECK(static_cast<unsigned char>(out[i]) >= 0x20 && out[i] != '\x7F');
    const nlohmann::json j = nlohmann::json::parse(out, out + n, nullptr, false);
    CHECK(!j.is_discarded() && j.is_string());
    const std::string& decoded = j.get_ref<const std::string&>();

    // Every decoded character is the name's own bytes, or one byte of it
    // that could not stand (never an ASCII one) as the code point U+00XX.
    static bool kept[BUF_SIZE];
    size_t i = 0;
    for (size_t k = 0; k < decoded.size();) {
        const unsigned char lead = static_cast<unsigned char>(decoded[k]);
        const size_t chars = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        CHECK(i < len);
        if (i + chars <= len && memcmp(decoded.data() + k, name + i, chars) == 0) {
            for (size_t c = 0; c < chars; ++c) kept[i + c] = true;
            i += chars;
        } else {
            const unsigned code = (lead & 0x1Fu) << 6 | (static_cast<unsigned char>(decoded[k + 1]) & 0x3Fu);
            CHECK(chars == 2 && code >= 0x80 && code == static_cast<unsigned char>(name[i]));
            kept[i++] = false;
        }
        k += chars;
    }
    CHECK(i == len);

    // A run of non-ASCII bytes that is valid UTF-8 is kept as it is.
    for (size_t from = 0; from < len;) {
        size_t to = from;
        while (to < len && static_cast<unsigned char>(name[to]) >= 0x80) ++to;
        if (to > from && ValidUtf8(name + from, to - from)) {
            for (size_t c = from; c < to; ++c) CHECK(kept[c]);
        }
        from = to > from ? to : from + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The trace is not checked here, and printing it would halve the speed.
    static const bool silenced = freopen("/dev/null", "w", stdout) != nullptr;
    (void)silenced;
    ParseOnce(data, size, false);
    ParseOnce(data, size, true);
    CheckEscaping(data, size);
    return 0;
}
