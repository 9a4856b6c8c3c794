// Announcement parser and the discovery states of the sequencer.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "eth.h"
#include "main.h"
#include "mstate.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const std::string kSignature = "\x22\xEF\x44\x1A\x33\xE9\xF1\x34\x54\x9E\x78";

// Signature, address, mask, MAC, port and the name field; a serial number,
// when given, goes behind the name's zero byte and the two skipped bytes.
std::string Datagram(const std::string& name, const std::string& serial = "",
                     std::array<uint8_t, 4> ip = {127, 0, 0, 7}, uint8_t port_hi = 0x03,
                     uint8_t port_lo = 0x78) {
    std::string d = kSignature;
    for (uint8_t b : ip) d += static_cast<char>(b);
    d += std::string("\xFF\xFF\xFF\x00", 4) + "\x02\x11\x22\x33\x44\x55";
    d += std::string{static_cast<char>(port_hi), static_cast<char>(port_lo)} + name;
    if (!serial.empty()) d += std::string(1, '\0') + "ZZ" + serial + std::string(1, '\0');
    return d;
}

void Load(const std::string& d) {
    ASSERT_LE(d.size(), sizeof udpDataBuff);
    memset(udpDataBuff, 0, sizeof udpDataBuff);
    memcpy(udpDataBuff, d.data(), d.size());
    UDPrecvedlength.store(static_cast<int>(d.size()));
}

std::string Header(size_t size, const std::string& ip = "127.0.0.7", const std::string& port = "888") {
    return "\nPharse data: data is KV:Data size: " + std::to_string(size) + "\n\nIP: " + ip +
           " Port: " + port;
}

std::array<uint8_t, 4> AddrBytes() {
    std::array<uint8_t, 4> a;
    memcpy(a.data(), &machine_sockaddr.sin_addr, 4);
    return a;
}

class Discovery : public testing::Test {
protected:
    void SetUp() override {
        m_state = M_GET_IP;
        only_explore = 0;
        memset(udpDataBuff, 0, sizeof udpDataBuff);
        UDPrecvedlength.store(0);
        flagUDPDataLocked.store(0);
        flagUDPDataPharsed.store(0);
        machine_sockaddr = plat_sockaddr_in{};
        Close_TCP();
        tcp_state.store(TCP_IDLE);
    }
    void TearDown() override { Close_TCP(); }

    template <typename F>
    static auto Traced(F step, std::string* trace) {
        CaptureStdout();
        auto r = step();
        *trace = GetCapturedStdout();
        return r;
    }
    static int Parse(const std::string& d, std::string* trace) {
        Load(d);
        return Traced(PharseUDPPacket, trace);
    }
    static uint32_t Poll(std::string* trace) { return Traced(PollMState, trace); }
};

TEST_F(Discovery, ApplicationAnnouncementTraceAndConnectAddress) {
    std::string trace;
    EXPECT_EQ(Parse(Datagram("Tavix7", "12345"), &trace), 2);
    EXPECT_EQ(trace, "\nPharse data: data is KV:Data size: 42\n\nIP: 127.0.0.7 Port: 888 Name: Tavix7 No: 12345");
    EXPECT_EQ(machine_sockaddr.sin_family, PLAT_AF_INET);
    EXPECT_EQ(machine_sockaddr.sin_port, plat_htons(888));
    EXPECT_EQ(AddrBytes(), (std::array<uint8_t, 4>{127, 0, 0, 7}));
}

TEST_F(Discovery, FourNamesInUpdateAndExploreMode) {
    struct Case { const char* name; int result; };
    for (const Case& c : {Case{"BootTavix7", 1}, Case{"Tavix7", 2}, Case{"BootTavix5s", 1}, Case{"Tavix5S", 2}}) {
        for (char explore : {0, 1}) {
            SCOPED_TRACE(std::string(c.name) + (explore ? " explore" : " update"));
            only_explore = explore;
            std::string d = Datagram(c.name, "77"), trace;
            EXPECT_EQ(Parse(d, &trace), explore ? 3 : c.result);
            // A boot loader's datagram is not read behind its name.
            std::string tail = std::string(" Name: ") + c.name + (c.result == 2 ? " No: 77" : "");
            EXPECT_EQ(trace, Header(d.size()) + tail);
        }
    }
}

TEST_F(Discovery, RejectedDatagrams) {
    for (const char* name : {"BootTavix5S", "Tavix", "bootTavix7", ""}) {
        SCOPED_TRACE(name);
        std::string d = Datagram(name, "1", {10, 1, 2, 3}), trace;
        EXPECT_EQ(Parse(d, &trace), -1);
        EXPECT_EQ(trace, Header(d.size(), "10.1.2.3"));
        // Harmless: a recognised announcement writes both again before any connect.
        EXPECT_EQ(AddrBytes(), (std::array<uint8_t, 4>{10, 1, 2, 3}));
        EXPECT_EQ(machine_sockaddr.sin_port, plat_htons(888));
    }
    std::string d = Datagram("Tavix7", "5");
    d[10] = '\x79';
    machine_sockaddr = plat_sockaddr_in{7, 9, 11};
    std::string trace;
    EXPECT_EQ(Parse(d, &trace), -1);
    EXPECT_EQ(trace, "\nPharse data:");
    EXPECT_EQ(machine_sockaddr.sin_family, 7);
    EXPECT_EQ(machine_sockaddr.sin_port, 9);
    EXPECT_EQ(machine_sockaddr.sin_addr, 11u);
}

TEST_F(Discovery, AddressAndPortFieldsAsSentConnectAlwaysTo888) {
    struct Case { std::array<uint8_t, 4> ip; uint8_t hi, lo; const char *ip_text, *port_text; };
    for (const Case& c : {Case{{10, 0, 0, 7}, 0x03, 0x78, "10.0.0.7", "888"},
                          Case{{10, 0, 0, 7}, 0x78, 0x03, "10.0.0.7", "30723"},
                          Case{{200, 255, 128, 1}, 0x12, 0x9A, "200.255.128.1", "4762"},
                          Case{{0, 0, 0, 0}, 0x00, 0x00, "0.0.0.0", "0"}}) {
        SCOPED_TRACE(c.port_text);
        std::string d = Datagram("BootTavix7", "", c.ip, c.hi, c.lo), trace;
        EXPECT_EQ(Parse(d, &trace), 1);
        EXPECT_EQ(trace, Header(d.size(), c.ip_text, c.port_text) + " Name: BootTavix7");
        EXPECT_EQ(AddrBytes(), c.ip);
        EXPECT_EQ(machine_sockaddr.sin_port, plat_htons(888));
    }
}

// The serial number sits at a fixed distance behind the matched name, even
// when the name field goes on. Its text reads as a 32-bit strtol reads it,
// on Linux as on Windows: out-of-range values clamp, negatives wrap.
TEST_F(Discovery, NameFieldAndSerialNumberEdges) {
    struct Case { std::string datagram, name, shown; };
    const std::string many(300, '9');
    for (const Case& c : {Case{Datagram("Tavix5SXYZ42"), "Tavix5SXYZ42", "42"},
                          Case{Datagram("Tavix7"), "Tavix7", "0"},
                          Case{Datagram("Tavix7", "-1"), "Tavix7", "4294967295"},
                          Case{Datagram("Tavix7", " \t+2147483647x9"), "Tavix7", "2147483647"},
                          Case{Datagram("Tavix7", "-2147483648"), "Tavix7", "2147483648"},
                          Case{Datagram("Tavix7", "2147483648"), "Tavix7", "2147483647"},
                          Case{Datagram("Tavix7", "3000000000"), "Tavix7", "2147483647"},
                          Case{Datagram("Tavix7", "9999999999"), "Tavix7", "2147483647"},
                          Case{Datagram("Tavix7", "-2147483649"), "Tavix7", "2147483648"},
                          Case{Datagram("Tavix7", "-3000000000"), "Tavix7", "2147483648"},
                          Case{Datagram("Tavix7", many), "Tavix7", "2147483647"},
                          Case{Datagram("Tavix7", "-" + many), "Tavix7", "2147483648"},
                          Case{Datagram("Tavix7", "00000000000000000000123"), "Tavix7", "123"},
                          Case{Datagram("Tavix7", "x12"), "Tavix7", "0"}}) {
        SCOPED_TRACE(c.name + " " + c.shown);
        std::string trace;
        EXPECT_EQ(Parse(c.datagram, &trace), 2);
        EXPECT_EQ(trace, Header(c.datagram.size()) + " Name: " + c.name + " No: " + c.shown);
    }
}

// No zero byte anywhere behind the name: the trace and the number must stop
// at the buffer's end (AddressSanitizer reports any read past it).
TEST_F(Discovery, DatagramFillingTheWholeBufferIsReadOnlyInside) {
    for (const std::string name : {"Tavix7", "BootTavix7"}) {
        SCOPED_TRACE(name);
        std::string d = Datagram(name + "~~~");
        d += std::string(BUF_SIZE - 5 - d.size(), '0') + "12345";
        ASSERT_EQ(d.size(), static_cast<size_t>(BUF_SIZE));
        ASSERT_EQ(d.find('\0', 27), std::string::npos);
        std::string trace;
        EXPECT_EQ(Parse(d, &trace), name == "Tavix7" ? 2 : 1);
        EXPECT_EQ(trace, Header(BUF_SIZE) + " Name: " + d.substr(27) + (name == "Tavix7" ? " No: 12345" : ""));
    }
}

TEST_F(Discovery, CmpBinEmptyAndNegativeSizesAreEqual) {
    EXPECT_EQ(CmpBin("abc", "xyz", 0), 1);
    EXPECT_EQ(CmpBin("abc", "xyz", -5), 1);
    EXPECT_EQ(CmpBin("ab\x80", "ab\x80", 3), 1);
    EXPECT_EQ(CmpBin("ab\x80", "ab\x7F", 3), 0);
}

TEST_F(Discovery, WaitsForAnUnlockedDatagramAndReleasesRejectedOnes) {
    std::string trace;
    EXPECT_EQ(Poll(&trace), 5u);
    EXPECT_EQ(trace, "\nm_state: M_GET_IP-> M_WAIT_FOR_UDP_DATA");
    EXPECT_EQ(m_state, M_WAIT_FOR_UDP_DATA);
    EXPECT_EQ(Poll(&trace), 1000u);
    EXPECT_EQ(trace, "");

    Load("not an announcement");
    flagUDPDataLocked.store(1);  // the listener is still receiving into the buffer
    EXPECT_EQ(Poll(&trace), 1000u);
    EXPECT_EQ(trace, "");
    EXPECT_NE(UDPrecvedlength.load(), 0);
    EXPECT_EQ(flagUDPDataPharsed.load(), 0);

    flagUDPDataLocked.store(0);
    EXPECT_EQ(Poll(&trace), 1000u);
    EXPECT_EQ(trace, "\nPharse data:");
    EXPECT_EQ(m_state, M_WAIT_FOR_UDP_DATA);
    EXPECT_EQ(UDPrecvedlength.load(), 0);
    EXPECT_EQ(flagUDPDataPharsed.load(), 1);
}

TEST_F(Discovery, RecognisedAnnouncementsChooseThePath) {
    m_state = M_WAIT_FOR_UDP_DATA;
    Load(Datagram("BootTavix5s"));
    std::string trace;
    EXPECT_EQ(Poll(&trace), 5u);
    EXPECT_EQ(trace, Header(38) + " Name: BootTavix5s\nm_state: M_WAIT_FOR_UDP_DATA-> M_BOOTLOADER_RECOGNIZED");
    EXPECT_EQ(m_state, M_BOOTLOADER_RECOGNIZED);
    EXPECT_EQ(UDPrecvedlength.load(), 0);
    EXPECT_EQ(flagUDPDataPharsed.load(), 1);
    EXPECT_EQ(tcp_state.load(), TCP_IDLE);

    m_state = M_WAIT_FOR_UDP_DATA;
    flagUDPDataPharsed.store(0);
    Load(Datagram("Tavix5S", "3"));
    EXPECT_EQ(Poll(&trace), 5u);
    EXPECT_NE(trace.find("\nm_state: M_WAIT_FOR_UDP_DATA-> M_MACHINE_RECOGNIZED"), std::string::npos);
    EXPECT_EQ(m_state, M_MACHINE_RECOGNIZED);
    EXPECT_EQ(tcp_state.load(), TCP_INIT);  // a new socket for the reset connection
    EXPECT_NE(stcp.load(), PLAT_INVALID_SOCKET);
    EXPECT_EQ(flagUDPDataPharsed.load(), 1);
}

TEST_F(Discovery, ExploreModeIdlesAfterTheFirstRecognisedAnnouncement) {
    only_explore = 1;
    m_state = M_WAIT_FOR_UDP_DATA;
    Load(Datagram("Tavix7", "9"));
    std::string trace;
    EXPECT_EQ(Poll(&trace), 5u);
    EXPECT_EQ(trace, Header(38) + " Name: Tavix7 No: 9\nm_state: M_WAIT_FOR_UDP_DATA-> M_IDLE");
    EXPECT_EQ(m_state, M_IDLE);
    EXPECT_EQ(tcp_state.load(), TCP_IDLE);
    EXPECT_EQ(stcp.load(), PLAT_INVALID_SOCKET);

    flagUDPDataPharsed.store(0);
    Load(Datagram("BootTavix7"));
    EXPECT_EQ(Poll(&trace), 1000u);
    EXPECT_EQ(trace, "");
    EXPECT_NE(UDPrecvedlength.load(), 0);
    EXPECT_EQ(flagUDPDataPharsed.load(), 0);
}

}  // namespace
