#pragma once
#include <cstddef>
#include <cstdint>

// CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR).
std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size);
