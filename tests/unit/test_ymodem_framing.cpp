// Block builders and CRC-16 of the YMODEM sender.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ymodem.h"

namespace {

constexpr size_t kPacketBufBytes = PACKET_1K_SIZE + PACKET_OVERHEAD;

// Bit by bit through the register, flushed with two zero bytes: a
// different route from the table the sender uses, to the same value.
uint16_t SerialCrc(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) crc = UpdateCRC16(crc, p[i]);
    return UpdateCRC16(UpdateCRC16(crc, 0), 0);
}

}  // namespace

TEST(YmodemCrc, KnownValues) {
    EXPECT_EQ(Cal_CRC16(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x31C3);
    const uint8_t zeros[128] = {};
    EXPECT_EQ(Cal_CRC16(zeros, 0), 0x0000);
    EXPECT_EQ(Cal_CRC16(zeros, 128), 0x0000);
    // The register holds the message until the augmentation pushes it through.
    for (int x = 0; x < 256; ++x) EXPECT_EQ(UpdateCRC16(0, static_cast<uint8_t>(x)), x);
}

TEST(YmodemCrc, AgreesWithTheRegisterOnRandomBuffers) {
    std::mt19937 rng(12345);
    std::vector<uint8_t> buf(3000);
    for (int round = 0; round < 200; ++round) {
        const size_t len = rng() % buf.size();
        for (size_t i = 0; i < len; ++i) buf[i] = static_cast<uint8_t>(rng());
        ASSERT_EQ(Cal_CRC16(buf.data(), static_cast<uint32_t>(len)), SerialCrc(buf.data(), len))
            << "length " << len;
    }
}

TEST(YmodemFraming, HeaderBlockLayout) {
    uint8_t pkt[kPacketBufBytes];
    std::memset(pkt, 0xEE, sizeof pkt);
    uint32_t size = 1234;
    Ymodem_PrepareIntialPacket(pkt, reinterpret_cast<const uint8_t*>("fw.bin"), &size);

    std::vector<uint8_t> expect = {0x01, 0x00, 0xFF, 0x66, 0x77, 0x2E, 0x62,
                                   0x69, 0x6E, 0x00, 0x31, 0x32, 0x33, 0x34};
    expect.resize(131, 0x00);
    EXPECT_EQ(std::vector<uint8_t>(pkt, pkt + 131), expect);
    const uint16_t crc = Cal_CRC16(pkt + PACKET_HEADER, PACKET_SIZE);
    EXPECT_EQ(crc >> 8, 0x8A);
    EXPECT_EQ(crc & 0xFF, 0x4E);

    size = 0;
    Ymodem_PrepareIntialPacket(pkt, reinterpret_cast<const uint8_t*>("a"), &size);
    EXPECT_EQ(std::vector<uint8_t>(pkt + 3, pkt + 7), (std::vector<uint8_t>{'a', 0, '0', 0}));

    const std::string path = "images/v2/fw.bin";
    size = 1048576;
    Ymodem_PrepareIntialPacket(pkt, reinterpret_cast<const uint8_t*>(path.c_str()), &size);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pkt + 3)), path);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(pkt + 4 + path.size()), 7), "1048576");
    EXPECT_EQ(pkt[4 + path.size() + 7], 0x00);
}

TEST(YmodemFraming, HeaderBlockNeverOverrunsThePacketBuffer) {
    constexpr size_t kCanaryBytes = 64;
    for (size_t nameLen : {255u, 256u, 300u, 2000u}) {
        std::vector<uint8_t> area(kCanaryBytes + kPacketBufBytes + kCanaryBytes, 0xA5);
        std::string name(nameLen, 'n');
        uint32_t size = 0xFFFFFFFFu;  // longest size text
        Ymodem_PrepareIntialPacket(area.data() + kCanaryBytes,
                                   reinterpret_cast<const uint8_t*>(name.c_str()), &size);
        for (size_t i = 0; i < kCanaryBytes; ++i) {
            ASSERT_EQ(area[i], 0xA5) << "name " << nameLen;
            ASSERT_EQ(area[kCanaryBytes + kPacketBufBytes + i], 0xA5) << "name " << nameLen;
        }
        // The name is cut to FILE_NAME_LENGTH bytes and still terminated.
        const uint8_t* pkt = area.data() + kCanaryBytes;
        const size_t copied = std::min<size_t>(nameLen, FILE_NAME_LENGTH);
        EXPECT_EQ(pkt[PACKET_HEADER + copied], 0x00);
        EXPECT_EQ(pkt[PACKET_HEADER + copied - 1], 'n');
    }
}

TEST(YmodemFraming, BlockSizeAndFillFollowTheRemainingCount) {
    struct Case {
        uint32_t remaining;
        uint8_t head;
        uint32_t field;
        uint8_t num, comp;
    };
    for (const Case c : {Case{5000, STX, 1024, 7, 0xF8}, Case{1024, STX, 1024, 1, 0xFE},
                         Case{1023, SOH, 128, 255, 0x00}, Case{256, SOH, 128, 0, 0xFF},
                         Case{128, SOH, 128, 2, 0xFD}, Case{100, SOH, 128, 3, 0xFC},
                         Case{1, SOH, 128, 4, 0xFB}}) {
        // The image ends at the end of its allocation, so a read past it trips ASan.
        std::vector<uint8_t> image(c.remaining);
        for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
        uint8_t pkt[kPacketBufBytes];
        std::memset(pkt, 0xEE, sizeof pkt);
        Ymodem_PreparePacket(image.data(), pkt, c.num, c.remaining);

        SCOPED_TRACE(c.remaining);
        EXPECT_EQ(pkt[0], c.head);
        EXPECT_EQ(pkt[1], c.num);
        EXPECT_EQ(pkt[2], c.comp);
        const uint32_t m = std::min(c.remaining, c.field);
        EXPECT_EQ(0, std::memcmp(pkt + 3, image.data(), m));
        for (uint32_t i = m; i < c.field; ++i) ASSERT_EQ(pkt[3 + i], 0x1A) << i;
        if (c.field == PACKET_SIZE) {
            EXPECT_EQ(pkt[3 + PACKET_SIZE], 0xEE);  // nothing beyond the field
        }
    }
}
