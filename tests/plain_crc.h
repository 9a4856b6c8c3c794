// Plain bitwise CRC-16/XMODEM, non-augmented: written apart from the
// sender's, so that the tests do not share its mistakes.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint16_t PlainCrc(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc = static_cast<uint16_t>(crc ^ (p[i] << 8));
        for (int b = 0; b < 8; ++b) crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}
