// The YMODEM sender against a receiver whose answers are the fuzz input,
// delivered through the link's receive hand-over on a fake clock. Whatever
// the answers, the sender must end with 0 or 10 within a bounded time, send
// only well-formed frames, and send the image exactly, block by block, never
// moving on without an ACK to show for it.
//
// Input: two bytes of image size, then per frame that the sender sends one
// control byte c and (c & 7) answer bytes; (c & 8) splits the answer into
// one-byte receives; (c >> 4) * 700 ms is how late it arrives, so answers can
// miss the 8 s wait and land in the next one. Once the input is used up the
// receiver answers as a correct one would.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "check.h"
#include "../plain_crc.h"
#include "eth.h"
#include "fake_platform.h"
#include "platform.h"
#include "ymodem.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxImageBytes = 4200;  // 1K blocks, then 128-byte ones with fill
constexpr uint32_t kLateStepMs = 700;
constexpr uint32_t kReplyWaitMs = 8000;
constexpr size_t kBlock0Frames = 19;  // 10 missing + 9 other answers
constexpr size_t kDataFrames = 10;
constexpr size_t kEotFrames = 10;
constexpr size_t kClosingFrames = 19;
const char kFileName[] = "fw.bin";

struct Block {
    uint8_t head, num;
    Bytes field;
};

enum class Kind { kHeader, kData, kEot, kClosing };

struct Pending {
    uint64_t atMs;
    Bytes bytes;
    bool split;
};

struct Receiver {
    const uint8_t* in = nullptr;
    size_t inLeft = 0;
    Bytes image;
    Bytes header;               // the 128-byte field block 0 must carry
    std::vector<Block> blocks;  // the data blocks the image must become
    uint64_t fakeMs = 0;
    Bytes wire;
    size_t parsed = 0;
    std::deque<Pending> pending;
    size_t acksDelivered = 0;
    // What the sender has got to: the frames so far and its moves forward.
    Kind kind = Kind::kHeader;
    size_t frames = 0;
    long lastBlock = -1;  // index in blocks of the last data block sent
    size_t advances = 0;
    size_t eots = 0, closings = 0;

    bool Take(uint8_t* b) {
        if (inLeft == 0) return false;
        *b = *in++;
        --inLeft;
        return true;
    }

    void Advance() {
        ++advances;
        // Moving on is earned by an ACK, and only by one the sender could read.
        CHECK(advances <= acksDelivered);
    }

    void Answer(Kind k) {
        uint8_t c = 0;
        Pending p{fakeMs, {}, false};
        if (Take(&c)) {
            for (int i = 0; i < (c & 7); ++i) {
                uint8_t b;
                if (!Take(&b)) break;
                p.bytes.push_back(b);
            }
            p.split = (c & 8) != 0;
            p.atMs += static_cast<uint64_t>(c >> 4) * kLateStepMs;
        } else if (k == Kind::kHeader || k == Kind::kEot) {
            p.bytes = {ACK, CRC16};
        } else {
            p.bytes = {ACK};
        }
        if (!pending.empty() && pending.back().atMs > p.atMs) p.atMs = pending.back().atMs;  // a stream keeps order
        if (!p.bytes.empty()) pending.push_back(p);
    }

    void Frame(Kind k, const uint8_t* field, size_t n, uint8_t head, uint8_t num) {
        ++frames;
        switch (k) {
        case Kind::kHeader:
            CHECK(kind == Kind::kHeader);
            CHECK(n == PACKET_SIZE && Bytes(field, field + n) == header);
            break;
        case Kind::kData: {
            CHECK(kind == Kind::kHeader || kind == Kind::kData);
            if (kind == Kind::kHeader) Advance();
            kind = Kind::kData;
            // The same block again, or the next one; nothing else.
            const size_t next = static_cast<size_t>(lastBlock + 1);
            bool same = lastBlock >= 0 && Matches(blocks[static_cast<size_t>(lastBlock)], field, n, head, num);
            if (!same) {
                CHECK(next < blocks.size() && Matches(blocks[next], field, n, head, num));
                if (lastBlock >= 0) Advance();
                lastBlock = static_cast<long>(next);
            }
            break;
        }
        case Kind::kEot:
            CHECK(kind != Kind::kClosing);
            CHECK(static_cast<size_t>(lastBlock + 1) == blocks.size());
            if (kind != Kind::kEot) Advance();
            kind = Kind::kEot;
            ++eots;
            break;
        case Kind::kClosing:
            CHECK(kind == Kind::kEot || kind == Kind::kClosing);
            CHECK(n == PACKET_SIZE && Bytes(field, field + n) == Bytes(PACKET_SIZE, 0));
            if (kind == Kind::kEot) Advance();
            kind = Kind::kClosing;
            ++closings;
            break;
        }
        Answer(k);
    }

    static bool Matches(const Block& b, const uint8_t* field, size_t n, uint8_t head, uint8_t num) {
        return b.head == head && b.num == num && b.field.size() == n && memcmp(b.field.data(), field, n) == 0;
    }

    // Splits the wire into frames; every byte must belong to one.
    void Parse() {
        while (parsed < wire.size()) {
            const uint8_t* p = &wire[parsed];
            if (p[0] == EOT) {
                ++parsed;
                Frame(Kind::kEot, nullptr, 0, EOT, 0);
                continue;
            }
            CHECK(p[0] == SOH || p[0] == STX);
            const size_t field = p[0] == STX ? PACKET_1K_SIZE : PACKET_SIZE;
            if (wire.size() - parsed < field + PACKET_OVERHEAD) return;
            CHECK(p[2] == static_cast<uint8_t>(~p[1]));
            const uint16_t crc = PlainCrc(p + PACKET_HEADER, field);
            CHECK(p[PACKET_HEADER + field] == crc >> 8 && p[PACKET_HEADER + field + 1] == (crc & 0xFF));
            parsed += field + PACKET_OVERHEAD;
            const uint8_t* f = p + PACKET_HEADER;
            Kind k = Kind::kData;
            if (p[0] == SOH && p[1] == 0) {
                // Block 0 and the closing block share their number (and the
                // 256th data block would too): what went before tells them apart.
                const size_t next = static_cast<size_t>(lastBlock + 1);
                if (kind == Kind::kHeader) {
                    k = Kind::kHeader;
                } else if (!(kind == Kind::kData && next < blocks.size() && Matches(blocks[next], f, field, p[0], p[1]))) {
                    k = Kind::kClosing;
                }
            }
            Frame(k, f, field, p[0], p[1]);
        }
    }

    void Drain() {
        wire.insert(wire.end(), fake::sent.begin(), fake::sent.end());
        fake::sent.clear();
        Parse();
    }

    // The link thread's part: one receive per hand-over, the next only after
    // the consumer gave the buffer back; answers that are due by then and
    // were not split arrive together, as a stream would deliver them.
    void Deliver() {
        if (pending.empty() || pending.front().atMs > fakeMs) return;
        if (flagTCPRXDataReaded.load() == 1) {
            flagTCPRXDataReaded.store(0);
        } else if (TCPrxrecvedlength.load() != 0) {
            return;
        }
        Bytes batch;
        if (pending.front().split) {
            batch.push_back(pending.front().bytes.front());
            pending.front().bytes.erase(pending.front().bytes.begin());
            if (pending.front().bytes.empty()) pending.pop_front();
        } else {
            while (!pending.empty() && pending.front().atMs <= fakeMs && !pending.front().split &&
                   batch.size() + pending.front().bytes.size() <= TCP_BUFFER_SIZE) {
                batch.insert(batch.end(), pending.front().bytes.begin(), pending.front().bytes.end());
                pending.pop_front();
            }
        }
        for (uint8_t b : batch) acksDelivered += (b == ACK) ? 1 : 0;
        memcpy(tcpRXDataBuff, batch.data(), batch.size());
        TCPrxrecvedlength.store(static_cast<uint16_t>(batch.size()), std::memory_order_release);
    }
};

Receiver* g_rx = nullptr;

void FakeSleep(uint32_t ms) {
    g_rx->fakeMs += ms;
    g_rx->Drain();
    g_rx->Deliver();
}

void Expect(Receiver& rx, size_t size) {
    rx.image.resize(size);
    for (size_t i = 0; i < size; ++i) rx.image[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    rx.header.assign(PACKET_SIZE, 0);
    std::string text = std::string(kFileName) + '\0' + std::to_string(size);
    memcpy(rx.header.data(), text.data(), text.size());
    size_t at = 0, left = size;
    for (uint8_t num = 1; left != 0; ++num) {
        const size_t k = left >= PACKET_1K_SIZE ? PACKET_1K_SIZE : PACKET_SIZE;
        const size_t m = left < k ? left : k;
        Block b{k == PACKET_1K_SIZE ? uint8_t{STX} : uint8_t{SOH}, num, Bytes(k, 0x1A)};
        memcpy(b.field.data(), rx.image.data() + at, m);
        rx.blocks.push_back(b);
        at += m;
        left -= m;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool silenced = freopen("/dev/null", "w", stdout) != nullptr;
    (void)silenced;

    Receiver rx;
    size_t imageBytes = 0;
    if (size >= 2) {
        imageBytes = (data[0] | static_cast<size_t>(data[1]) << 8) % (kMaxImageBytes + 1);
        data += 2;
        size -= 2;
    }
    rx.in = data;
    rx.inLeft = size;
    Expect(rx, imageBytes);

    fake::sent.clear();
    stcp.store(fake::kSocket);
    TCPrxrecvedlength.store(0);
    flagTCPRXDataReaded.store(0);
    flagTCPRXDataLocked.store(0);
    rx_data_cursor = 0;
    g_rx = &rx;
    plat_set_sleep_hook(FakeSleep);

    // An image of exactly its size: ASan sees any read beyond it.
    Bytes image(rx.image);
    const uint8_t result = Ymodem_Transmit(image.data(), reinterpret_cast<const uint8_t*>(kFileName),
                                           static_cast<uint32_t>(imageBytes));
    rx.Drain();

    plat_set_sleep_hook(nullptr);

    CHECK(result == 0 || result == 10);
    CHECK(rx.parsed == rx.wire.size());  // no frame left half sent
    if (result == 0) {
        // Done means every block, EOT and the closing block went out, and the
        // closing block's ACK too was there to read.
        CHECK(rx.kind == Kind::kClosing && static_cast<size_t>(rx.lastBlock + 1) == rx.blocks.size());
        rx.Advance();
    }
    const size_t maxFrames = kBlock0Frames + kDataFrames * rx.blocks.size() + kEotFrames + kClosingFrames;
    CHECK(rx.frames <= maxFrames);
    CHECK(rx.eots <= kEotFrames && rx.closings <= kClosingFrames);
    // Every frame waits once for its answer, block 0 and EOT once more.
    CHECK(rx.fakeMs <= (rx.frames + 2) * kReplyWaitMs);
    return 0;
}
