// YMODEM batch sender: block framing, CRC-16 and the transfer of one file
// over the machine link.
#pragma once

#include <cstdint>

#define PACKET_SEQNO_INDEX 1
#define PACKET_SEQNO_COMP_INDEX 2
#define PACKET_HEADER 3
#define PACKET_TRAILER 2
#define PACKET_OVERHEAD (PACKET_HEADER + PACKET_TRAILER)
#define PACKET_SIZE 128
#define PACKET_1K_SIZE 1024
#define FILE_NAME_LENGTH 256
#define FILE_SIZE_LENGTH 16

#define SOH 0x01
#define STX 0x02
#define EOT 0x04
#define ACK 0x06
#define NAK 0x15
#define CA 0x18
#define CRC16 0x43
#define ABORT1 0x41
#define ABORT2 0x61

#define NAK_TIMEOUT 0x90000
#define MAX_ERRORS 5

// Block 0 into data[0..130]: SOH 00 FF, the name, a zero, the size as
// decimal text, zero fill. Never writes past data[PACKET_1K_SIZE + PACKET_OVERHEAD - 1].
void Ymodem_PrepareIntialPacket(uint8_t* data, const uint8_t* fileName, uint32_t* length);
// A data block of 1024 bytes while sizeBlk > 1023, else of 128; 0x1A fill
// behind the last image byte. Reads at most sizeBlk bytes of SourceBuf.
void Ymodem_PreparePacket(uint8_t* SourceBuf, uint8_t* data, uint8_t pktNo, uint32_t sizeBlk);
uint16_t UpdateCRC16(uint16_t crcIn, uint8_t byte);
uint16_t Cal_CRC16(const uint8_t* data, uint32_t size);

// Sends one file as a YMODEM batch. 0 when the closing block was
// acknowledged, 10 when one step got ten missing (or ten non-ACK) answers.
uint8_t Ymodem_Transmit(uint8_t* buf, const uint8_t* sendFileName, uint32_t sizeFile);
void Ymodem_SendPacket(uint8_t* data, uint16_t length);

// Next byte of the link's receive batch to take (main thread only). Kept
// across transfers; back to 0 only when a batch is used up.
extern int rx_data_cursor;
