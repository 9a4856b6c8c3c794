// The YMODEM transfer against a scripted receiver on a fake clock. The sender
// writes into one end of a socket pair; the sleep hook reads the other end,
// parses the frames and plays the link's receive hand-over with the answers,
// so no thread is needed and the ~80 s of a silent receiver take milliseconds.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "../plain_crc.h"
#include "eth.h"
#include "hooks.h"
#include "ymodem.h"

namespace {

std::atomic<bool> g_gave_up{false};

using Bytes = std::vector<uint8_t>;
using Answer = std::optional<Bytes>;  // nullopt: let the receiver answer as usual

struct Frame {
    uint8_t head = 0;  // SOH, STX or EOT
    uint8_t num = 0;
    Bytes field;
};

enum class Phase { kHeader, kData, kClosing, kDone };

// A well-behaved receiver unless `quirk` answers itself (an empty answer is
// silence); a quirk's answer does not advance the phase.
struct Receiver {
    std::function<Answer(const Frame&, Phase)> quirk;
    bool linkDead = false;  // the machine closed: no batch arrives any more
    Phase phase = Phase::kHeader;
    std::vector<Frame> frames;
    std::string header;  // data field of the accepted block 0
    Bytes image;         // accepted data fields, fill included
    size_t accepted = 0;
    std::string faults;  // not asserted on the spot: stdout is captured meanwhile
    std::deque<Bytes> batches;
    Bytes wire;
    size_t parsed = 0;
    int peer = -1;
    uint64_t fakeMs = 0;

    Bytes Reply(const Frame& f) {
        if (quirk) {
            if (Answer a = quirk(f, phase)) return *a;
        }
        switch (phase) {
            case Phase::kHeader:
                header.assign(f.field.begin(), f.field.end());
                phase = Phase::kData;
                return {ACK, CRC16};
            case Phase::kData:
                if (f.head == EOT) {
                    phase = Phase::kClosing;
                    return {ACK, CRC16};
                }
                if (f.num != static_cast<uint8_t>(++accepted)) faults += "block out of order\n";
                image.insert(image.end(), f.field.begin(), f.field.end());
                return {ACK};
            case Phase::kClosing:
                phase = Phase::kDone;
                return {ACK};
            case Phase::kDone:
                break;
        }
        faults += "frame after the closing block\n";
        return {};
    }

    void Take(const Frame& f) {
        frames.push_back(f);
        Bytes a = Reply(f);
        if (!a.empty() && !linkDead) batches.push_back(a);
    }

    void ParseWire() {
        while (parsed < wire.size()) {
            const uint8_t* p = &wire[parsed];
            if (p[0] == EOT) {
                ++parsed;
                Take(Frame{EOT, 0, {}});
                continue;
            }
            if (p[0] != SOH && p[0] != STX) {
                faults += "unexpected byte " + std::to_string(p[0]) + "\n";
                parsed = wire.size();
                return;
            }
            const size_t field = p[0] == STX ? PACKET_1K_SIZE : PACKET_SIZE;
            if (wire.size() - parsed < field + PACKET_OVERHEAD) return;
            const uint16_t crc = PlainCrc(p + PACKET_HEADER, field);
            if (p[2] != static_cast<uint8_t>(~p[1])) faults += "bad complement\n";
            if (p[3 + field] != crc >> 8 || p[4 + field] != (crc & 0xFF)) faults += "bad CRC\n";
            parsed += field + PACKET_OVERHEAD;
            Take(Frame{p[0], p[1], Bytes(p + PACKET_HEADER, p + PACKET_HEADER + field)});
        }
    }

    // What the link thread would have done by now: one batch per receive,
    // the next only after the previous one was handed back.
    void Pump() {
        uint8_t tmp[8192];
        ssize_t n;
        while ((n = recv(peer, tmp, sizeof tmp, MSG_DONTWAIT)) > 0) wire.insert(wire.end(), tmp, tmp + n);
        ParseWire();
        if (batches.empty() || flagTCPRXDataLocked.load() != 0) return;
        if (flagTCPRXDataReaded.load() == 1) {
            flagTCPRXDataReaded.store(0);
        } else if (TCPrxrecvedlength.load() != 0) {
            return;
        }
        std::memcpy(tcpRXDataBuff, batches.front().data(), batches.front().size());
        TCPrxrecvedlength.store(static_cast<uint16_t>(batches.front().size()), std::memory_order_release);
        batches.pop_front();
    }

    size_t Count(uint8_t head, int num = -1) const {
        size_t c = 0;
        for (const Frame& f : frames) c += (f.head == head && (num < 0 || f.num == num)) ? 1 : 0;
        return c;
    }
};

Receiver* g_rx = nullptr;

void FakeSleep(uint32_t ms) {
    g_rx->fakeMs += ms;
    g_rx->Pump();
}

Answer Silence(const Frame&, Phase) { return Bytes{}; }

class YmodemTransmit : public ::testing::Test {
protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        stcp.store(fds[0]);
        rx = Receiver();
        rx.peer = fds[1];
        TCPrxrecvedlength.store(0);
        flagTCPRXDataReaded.store(0);
        flagTCPRXDataLocked.store(0);
        rx_data_cursor = 0;
        g_rx = &rx;
        plat_set_sleep_hook(FakeSleep);
    }
    void TearDown() override {
        plat_set_sleep_hook(nullptr);
        close(static_cast<int>(stcp.load()));
        close(rx.peer);
        stcp.store(PLAT_INVALID_SOCKET);
    }
    void Restart() {
        TearDown();
        SetUp();
    }

    uint8_t Run(size_t imageBytes) {
        image = Bytes(imageBytes);
        for (size_t i = 0; i < imageBytes; ++i) image[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
        testing::internal::CaptureStdout();
        const uint8_t r = Ymodem_Transmit(image.data(), reinterpret_cast<const uint8_t*>("fw.bin"),
                                          static_cast<uint32_t>(imageBytes));
        trace = testing::internal::GetCapturedStdout();
        EXPECT_EQ(rx.faults, "");
        return r;
    }
    static std::string Dots(size_t n) { return "\nTransmit FW " + std::string(n, '.'); }

    Receiver rx;
    Bytes image;
    std::string trace;
};

}  // namespace

TEST_F(YmodemTransmit, ImagesArriveIntact) {
    struct Case {
        size_t bytes, blocks1k, blocks128;
    };
    for (const Case c : {Case{0, 0, 0}, Case{1500, 1, 4}, Case{1048576, 1024, 0}}) {
        SCOPED_TRACE(c.bytes);
        Restart();
        ASSERT_EQ(Run(c.bytes), 0);

        // ACK and the request byte arrive in one batch; still every frame goes out once.
        const size_t blocks = c.blocks1k + c.blocks128;
        ASSERT_EQ(rx.frames.size(), blocks + 3);
        EXPECT_EQ(rx.phase, Phase::kDone);
        EXPECT_EQ(rx.Count(STX), c.blocks1k);
        EXPECT_EQ(rx.Count(SOH), c.blocks128 + 2);
        EXPECT_EQ(rx.frames[blocks].num, blocks % 256);  // 1024 blocks: the last is number 0
        const std::string nameAndSize = std::string("fw.bin\0", 7) + std::to_string(c.bytes) + '\0';
        EXPECT_EQ(rx.header.substr(0, nameAndSize.size()), nameAndSize);
        EXPECT_EQ(rx.frames.back().field, Bytes(PACKET_SIZE, 0));

        ASSERT_EQ(rx.image.size(), c.blocks1k * 1024 + c.blocks128 * 128);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), rx.image.begin()));
        EXPECT_EQ(Bytes(rx.image.begin() + c.bytes, rx.image.end()), Bytes(rx.image.size() - c.bytes, 0x1A));
        EXPECT_EQ(trace, Dots(1 + blocks));
    }
}

TEST_F(YmodemTransmit, OtherAnswersRepeatTheStep) {
    // A request byte before the ACK of block 0 is no failure: block 0 again, two dots.
    rx.quirk = [n = 0](const Frame&, Phase p) mutable -> Answer {
        if (p == Phase::kHeader && n++ == 0) return Bytes{CRC16};
        return std::nullopt;
    };
    EXPECT_EQ(Run(100), 0);
    EXPECT_EQ(rx.Count(SOH, 0), 3u);  // block 0 twice, closing block once
    EXPECT_EQ(trace, Dots(3));

    // NAK to EOT: EOT again. The request byte after its ACK is discarded,
    // otherwise it would answer the closing block and repeat it.
    Restart();
    rx.quirk = [n = 0](const Frame& f, Phase) mutable -> Answer {
        if (f.head == EOT && n++ == 0) return Bytes{NAK};
        return std::nullopt;
    };
    EXPECT_EQ(Run(100), 0);
    EXPECT_EQ(rx.Count(EOT), 2u);
    EXPECT_EQ(rx.Count(SOH, 0), 2u);
    EXPECT_EQ(trace, Dots(2));

    // Other answers and missing ones are counted apart: six of each still pass.
    Restart();
    rx.quirk = [n = 0](const Frame&, Phase p) mutable -> Answer {
        if (p == Phase::kHeader && n < 12) return (n++ % 2) ? Bytes{CRC16} : Bytes{};
        return std::nullopt;
    };
    EXPECT_EQ(Run(100), 0);
    EXPECT_EQ(rx.Count(SOH, 0), 14u);
}

TEST_F(YmodemTransmit, SilentReceiverFailsBlock0AfterTenWaits) {
    rx.quirk = Silence;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(5000), 10);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(rx.fakeMs, 10u * 800u * 10u);
    EXPECT_EQ(rx.frames.size(), 10u);
    EXPECT_EQ(rx.Count(SOH, 0), 10u);
    EXPECT_EQ(trace, Dots(10));
}

TEST_F(YmodemTransmit, ConnectionClosedMidTransferFailsTheStep) {
    uint64_t closedAtMs = 0;
    rx.quirk = [&](const Frame& f, Phase) -> Answer {
        if (f.head == STX && f.num == 3 && !rx.linkDead) {
            rx.linkDead = true;
            closedAtMs = rx.fakeMs;
        }
        return rx.linkDead ? Answer(Bytes{}) : std::nullopt;
    };
    EXPECT_EQ(Run(5000), 10);
    EXPECT_EQ(rx.Count(STX, 3), 10u);
    EXPECT_EQ(rx.Count(EOT), 0u);
    EXPECT_EQ(rx.fakeMs - closedAtMs, 80000u - 10u);  // its first wait had begun
    EXPECT_EQ(trace, Dots(3));

    // Given up by whoever holds the link (it saw the close, or the user
    // abandoned the transfer): the block is not sent again.
    Restart();
    g_gave_up = false;
    rx.quirk = [&](const Frame& f, Phase) -> Answer {
        if (f.head == STX && f.num == 3) rx.linkDead = g_gave_up = true;
        return rx.linkDead ? Answer(Bytes{}) : std::nullopt;
    };
    hooks.give_up = [] { return g_gave_up.load(); };
    EXPECT_EQ(Run(5000), 10);
    hooks.give_up = nullptr;
    rx.Pump();  // what was sent after the last wait
    EXPECT_EQ(rx.Count(STX, 3), 1u);
    EXPECT_EQ(rx.Count(EOT), 0u);
    EXPECT_EQ(trace, Dots(3));
}

TEST_F(YmodemTransmit, EndlessWrongAnswersAreBounded) {
    struct Case {
        const char* what;
        Phase phase;
        uint8_t answer, head;
        int num;
        size_t sent, dots;  // frames like the refused one, dots in the trace
    };
    for (const Case c : {Case{"C to block 0", Phase::kHeader, CRC16, SOH, 0, 10, 10},
                         Case{"NAK to a data block", Phase::kData, NAK, SOH, 1, 10, 1},
                         Case{"NAK to EOT", Phase::kData, NAK, EOT, -1, 10, 2},
                         Case{"NAK to the closing block", Phase::kClosing, NAK, SOH, 0, 11, 2}}) {
        SCOPED_TRACE(c.what);
        Restart();
        // "Endless" is 30 here, so that a missing bound fails instead of hanging.
        rx.quirk = [this, c](const Frame& f, Phase p) -> Answer {
            if (p == c.phase && f.head == c.head && rx.Count(c.head, c.num) < 30) return Bytes{c.answer};
            return std::nullopt;
        };
        EXPECT_EQ(Run(100), 10);
        EXPECT_EQ(rx.Count(c.head, c.num), c.sent);
        EXPECT_EQ(rx.frames.back().head, c.head);
        EXPECT_LT(rx.fakeMs, 1000u);  // answered at once: no wait ran out
        EXPECT_EQ(trace, Dots(c.dots));
    }
}

TEST_F(YmodemTransmit, OneBatchIsTakenByteByByteAcrossSteps) {
    const Bytes batch = {ACK, CRC16, ACK, ACK, CRC16, ACK};  // every answer of a one-block transfer
    std::memcpy(tcpRXDataBuff, batch.data(), batch.size());
    TCPrxrecvedlength.store(static_cast<uint16_t>(batch.size()));
    rx.quirk = Silence;
    EXPECT_EQ(Run(100), 0);
    EXPECT_EQ(rx.frames.size(), 4u);  // block 0, block 1, EOT, closing block
    EXPECT_EQ(rx.fakeMs, batch.size() * 10u);
    EXPECT_EQ(TCPrxrecvedlength.load(), 0);
    EXPECT_EQ(flagTCPRXDataReaded.load(), 1);
    EXPECT_EQ(rx_data_cursor, 0);
}

TEST_F(YmodemTransmit, LockedBufferIsNotRead) {
    tcpRXDataBuff[0] = ACK;
    TCPrxrecvedlength.store(1);
    flagTCPRXDataLocked.store(1);
    rx.quirk = Silence;
    EXPECT_EQ(Run(100), 10);
    EXPECT_EQ(rx.Count(SOH, 0), 10u);
    EXPECT_EQ(rx.fakeMs, 80000u);
    EXPECT_EQ(TCPrxrecvedlength.load(), 1);
    EXPECT_EQ(flagTCPRXDataReaded.load(), 0);
    EXPECT_EQ(rx_data_cursor, 0);
}
