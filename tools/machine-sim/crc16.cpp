#include "crc16.h"

namespace {

struct CrcTable {
  std::uint16_t entry[256];
  constexpr CrcTable() : entry() {
    for (int i = 0; i < 256; ++i) {
      std::uint16_t crc = static_cast<std::uint16_t>(i << 8);
      for (int bit = 0; bit < 8; ++bit) {
        crc = (crc & 0x8000) ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                             : static_cast<std::uint16_t>(crc << 1);
      }
      entry[i] = crc;
    }
  }
};

constexpr CrcTable kCrcTable;

}  // namespace

std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0;
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kCrcTable.entry[((crc >> 8) ^ data[i]) & 0xFF]);
  }
  return crc;
}
