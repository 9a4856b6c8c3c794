// YMODEM batch sender: framing, CRC-16 and the transfer of one file.
#include "ymodem.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "eth.h"
#include "hooks.h"
#include "platform.h"

namespace {

constexpr uint32_t kReplyWaitPasses = 800;  // ~8 s at kReplyPollMs
constexpr uint32_t kReplyPollMs = 10;
constexpr uint32_t kStepLimitAttempts = 10;
constexpr uint32_t kUnusedTimeoutMs = 100;  // Receive_Byte keeps its own wait
constexpr size_t kSizeTextBytes = 10;
constexpr uint8_t kFillByte = 0x1A;
constexpr uint16_t kCrcPolynomial = 0x1021;

}  // namespace

int rx_data_cursor = 0;

void Ymodem_PrepareIntialPacket(uint8_t* data, const uint8_t* fileName, uint32_t* length) {
    data[0] = SOH;
    data[PACKET_SEQNO_INDEX] = 0x00;
    data[PACKET_SEQNO_COMP_INDEX] = 0xFF;

    size_t n = 0;
    while (n < FILE_NAME_LENGTH && fileName[n] != 0) {
        data[PACKET_HEADER + n] = fileName[n];
        ++n;
    }
    data[PACKET_HEADER + n] = 0x00;

    // Sizes beyond 9 digits are cut by the buffer; images stay far below that.
    char text[kSizeTextBytes];
    std::snprintf(text, sizeof text, "%u", static_cast<unsigned>(*length));
    const size_t d = std::strlen(text);
    std::memcpy(&data[PACKET_HEADER + n + 1], text, d);

    const size_t fillFrom = PACKET_HEADER + n + 1 + d;
    const size_t fieldEnd = PACKET_HEADER + PACKET_SIZE;
    if (fillFrom < fieldEnd) {
        std::memset(&data[fillFrom], 0x00, fieldEnd - fillFrom);
    }
}

void Ymodem_PreparePacket(uint8_t* SourceBuf, uint8_t* data, uint8_t pktNo, uint32_t sizeBlk) {
    const uint32_t k = (sizeBlk > PACKET_1K_SIZE - 1) ? PACKET_1K_SIZE : PACKET_SIZE;
    const uint32_t m = (sizeBlk < k) ? sizeBlk : k;

    data[0] = (k == PACKET_1K_SIZE) ? STX : SOH;
    data[PACKET_SEQNO_INDEX] = pktNo;
    data[PACKET_SEQNO_COMP_INDEX] = static_cast<uint8_t>(~pktNo);
    std::memcpy(&data[PACKET_HEADER], SourceBuf, m);
    std::memset(&data[PACKET_HEADER + m], kFillByte, k - m);
}

uint16_t UpdateCRC16(uint16_t crcIn, uint8_t byte) {
    uint32_t crc = crcIn;
    for (int bit = 7; bit >= 0; --bit) {
        const bool carry = (crc & 0x8000u) != 0;
        crc = ((crc << 1) | ((byte >> bit) & 1u)) & 0xFFFFu;
        if (carry) {
            crc ^= kCrcPolynomial;
        }
    }
    return static_cast<uint16_t>(crc);
}

namespace {

// Each byte's effect on the register (its eight shifts, as UpdateCRC16
// makes them), worked out once: a block costs 1024 look-ups instead of
// 8192 shifts, which a thousand transfers at once feel.
struct CrcTable {
    uint16_t entry[256];
    CrcTable() {
        for (uint32_t b = 0; b < 256; ++b) entry[b] = UpdateCRC16(static_cast<uint16_t>(b << 8), 0);
    }
};
const CrcTable kCrcTable;

}  // namespace

// The same value as feeding the data and two zero bytes through
// UpdateCRC16: the table form needs no flush.
uint16_t Cal_CRC16(const uint8_t* data, uint32_t size) {
    uint16_t crc = 0x0000;
    for (uint32_t i = 0; i < size; ++i) {
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable.entry[((crc >> 8) ^ data[i]) & 0xFFu]);
    }
    return crc;
}

// The link's user gave the transfer up (the machine hung up, or it was
// abandoned): no step is sent again.
static bool GivenUp(void) { return hooks.give_up != nullptr && hooks.give_up(); }

// One reply byte from the link's receive batch into *c. 0 when a byte was
// taken, -1 when none came within ~8 s (*c untouched).
static int32_t Receive_Byte(uint8_t* c, uint32_t timeout) {
    (void)timeout;
    int32_t result = -1;
    for (uint32_t pass = 0; pass < kReplyWaitPasses && result == -1 && !GivenUp(); ++pass) {
        if (flagTCPRXDataLocked.load(std::memory_order_acquire) == 0) {
            const uint16_t batch = TCPrxrecvedlength.load(std::memory_order_acquire);
            if (batch != 0) {
                *c = tcpRXDataBuff[rx_data_cursor];
                ++rx_data_cursor;
                result = 0;
                if (rx_data_cursor >= batch) {
                    // Length before Readed: the link must never see Readed
                    // beside the old length.
                    rx_data_cursor = 0;
                    TCPrxrecvedlength.store(0, std::memory_order_release);
                    flagTCPRXDataReaded.store(1, std::memory_order_release);
                }
            }
        }
        hooks.reply_pause ? hooks.reply_pause(result == 0, kReplyPollMs) : plat_sleep_ms(kReplyPollMs);
    }
    return result;
}

static uint32_t Send_Byte(uint8_t c) {
    tcpTXDataBuff[0] = c;
    TCPtxtransmitlength = 1;
    Transmit_TCP();
    return 0;
}

void Ymodem_SendPacket(uint8_t* data, uint16_t length) {
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t chunk = length - sent;
        if (chunk > TCP_BUFFER_SIZE) {
            chunk = TCP_BUFFER_SIZE;
        }
        std::memcpy(tcpTXDataBuff, data + sent, chunk);
        TCPtxtransmitlength = static_cast<uint16_t>(chunk);
        Transmit_TCP();
        sent += chunk;
    }
}

static void Send_CRC(const uint8_t* packet, uint32_t fieldSize) {
    const uint16_t tempCRC = Cal_CRC16(packet + PACKET_HEADER, fieldSize);
    Send_Byte(static_cast<uint8_t>(tempCRC >> 8));
    Send_Byte(static_cast<uint8_t>(tempCRC & 0xFF));
}

uint8_t Ymodem_Transmit(uint8_t* buf, const uint8_t* sendFileName, uint32_t sizeFile) {
    uint8_t packet_data[PACKET_1K_SIZE + PACKET_OVERHEAD];
    uint8_t filename[FILE_NAME_LENGTH];
    uint8_t receivedC[2] = {0, 0};
    uint32_t errors = 0;
    uint32_t otherAnswers = 0;  // bounds a receiver that never ACKs but keeps talking
    uint32_t ackReceived = 0;

    std::printf("\nTransmit FW ");
    if (hooks.transfer) hooks.transfer(TN_STARTED, 0, -1);

    size_t n = 0;
    while (n < FILE_NAME_LENGTH - 1 && sendFileName[n] != 0) {
        filename[n] = sendFileName[n];
        ++n;
    }
    filename[n] = 0;
    Ymodem_PrepareIntialPacket(packet_data, filename, &sizeFile);

    // Block 0. A request byte already waiting is merely the first answer.
    do {
        Ymodem_SendPacket(packet_data, PACKET_HEADER + PACKET_SIZE);
        std::printf(".");
        Send_CRC(packet_data, PACKET_SIZE);
        if (Receive_Byte(&receivedC[0], kUnusedTimeoutMs) != 0) {
            ++errors;
        } else if (receivedC[0] == ACK) {
            // The receiver follows its ACK with a request for the data.
            Receive_Byte(&receivedC[0], kUnusedTimeoutMs);
            ackReceived = 1;
        } else {
            ++otherAnswers;
        }
    } while (ackReceived == 0 && errors < kStepLimitAttempts && otherAnswers < kStepLimitAttempts && !GivenUp());
    if (ackReceived == 0) {
        if (hooks.transfer) hooks.transfer(TN_FAILED_BLOCK0, 0, errors == kStepLimitAttempts ? -1 : receivedC[0]);
        return kStepLimitAttempts;
    }

    // Data blocks.
    uint8_t* buf_ptr = buf;
    uint32_t size = sizeFile;
    uint16_t blkNumber = 1;
    while (size != 0) {
        Ymodem_PreparePacket(buf_ptr, packet_data, static_cast<uint8_t>(blkNumber & 0xFF), size);
        ackReceived = 0;
        errors = 0;
        int lastAnswer = -1;
        do {
            const uint32_t pktSize = (size > PACKET_1K_SIZE - 1) ? PACKET_1K_SIZE : PACKET_SIZE;
            if (hooks.transfer) hooks.transfer(TN_DATA_SENT, blkNumber, static_cast<int>(errors));
            Ymodem_SendPacket(packet_data, static_cast<uint16_t>(PACKET_HEADER + pktSize));
            Send_CRC(packet_data, pktSize);
            const bool answered = Receive_Byte(&receivedC[0], kUnusedTimeoutMs) == 0;
            lastAnswer = answered ? receivedC[0] : -1;
            if (answered && receivedC[0] == ACK) {
                std::printf(".");
                if (hooks.transfer) hooks.transfer(TN_DATA_ACKED, blkNumber, ACK);
                ackReceived = 1;
                buf_ptr += pktSize;
                if (size > pktSize) {
                    size -= pktSize;
                    ++blkNumber;
                } else {
                    size = 0;
                }
            } else {
                ++errors;
            }
        } while (ackReceived == 0 && errors < kStepLimitAttempts && !GivenUp());
        if (ackReceived == 0) {
            if (hooks.transfer) hooks.transfer(TN_FAILED_DATA, blkNumber, lastAnswer);
            return kStepLimitAttempts;
        }
    }

    // End of file.
    ackReceived = 0;
    errors = 0;
    int eotAnswer = -1;
    do {
        Send_Byte(EOT);
        const bool answered = Receive_Byte(&receivedC[0], kUnusedTimeoutMs) == 0;
        eotAnswer = answered ? receivedC[0] : -1;
        if (answered && receivedC[0] == ACK) {
            ackReceived = 1;
        } else {
            ++errors;
        }
    } while (ackReceived == 0 && errors < kStepLimitAttempts && !GivenUp());
    if (ackReceived == 0) {
        if (hooks.transfer) hooks.transfer(TN_FAILED_EOT, 0, eotAnswer);
        return kStepLimitAttempts;
    }
    // The receiver's request for the next file's block 0.
    Receive_Byte(&receivedC[0], kUnusedTimeoutMs);

    // Closing empty block: ends the batch.
    ackReceived = 0;
    errors = 0;
    otherAnswers = 0;
    packet_data[0] = SOH;
    packet_data[PACKET_SEQNO_INDEX] = 0x00;
    packet_data[PACKET_SEQNO_COMP_INDEX] = 0xFF;
    std::memset(&packet_data[PACKET_HEADER], 0x00, PACKET_SIZE);
    do {
        Ymodem_SendPacket(packet_data, PACKET_HEADER + PACKET_SIZE);
        Send_CRC(packet_data, PACKET_SIZE);
        if (Receive_Byte(&receivedC[0], kUnusedTimeoutMs) != 0) {
            ++errors;
        } else if (receivedC[0] == ACK) {
            ackReceived = 1;
        } else {
            ++otherAnswers;
        }
    } while (ackReceived == 0 && errors < kStepLimitAttempts && otherAnswers < kStepLimitAttempts && !GivenUp());
    if (hooks.transfer)
        hooks.transfer(ackReceived == 1 ? TN_DONE : TN_FAILED_CLOSING, 0, errors == kStepLimitAttempts ? -1 : receivedC[0]);
    return (ackReceived == 1) ? 0 : kStepLimitAttempts;
}
