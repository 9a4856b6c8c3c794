// Network link: the announcement listener (UDP) and the machine link (TCP),
// each a small polled state machine, and the buffers and flags through which
// the other modules see them.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"

#define PORT 11000            // local UDP port of the announcements
#define BUF_SIZE 512          // datagram buffer, and the largest datagram taken
#define TCP_BUFFER_SIZE 4096  // largest single send and receive on the link

enum UDP_STATE : uint32_t {
    UDP_IDLE = 0,
    UDP_INIT = 1,
    UDP_WAIT_FOR_DATA_PREPARE = 2,
    UDP_DATA_LOCK = 3,
    UDP_WAIT_FOR_DATA_FREE = 4,
};

enum TCP_STATE : uint32_t {
    TCP_IDLE = 0,
    TCP_INIT = 1,
    TCP_OPEN = 2,
    TCP_CLOSE = 3,
    TCP_DEINIT = 4,
    TCP_WAIT_FOR_RX_DATA = 5,
    TCP_WAIT_FOR_RX_DATA_PREPARE = 6,
    TCP_RX_DATA_LOCK = 7,
    TCP_WAIT_FOR_RX_DATA_FREE = 8,
    TCP_WAIT_FOR_TX_DATA_PREPARE = 9,
    TCP_TX_DATA_LOCK = 10,
    TCP_WAIT_FOR_TX_DATA_FREE = 11,
};

// Listener (udpThread) and sequencer (main thread).
extern UDP_STATE udp_state;  // listener thread only
extern plat_socket sudp;
extern char udpDataBuff[BUF_SIZE];
// Stored after the datagram's bytes, with release: a non-zero length makes
// them visible to whoever loads it with acquire.
extern std::atomic<int> UDPrecvedlength;
extern std::atomic<int> flagUDPDataLocked;
extern std::atomic<int> flagUDPDataPharsed;

// Machine link (tcpThread), sequencer and YMODEM sender (main thread).
extern std::atomic<TCP_STATE> tcp_state;
extern std::atomic<plat_socket> stcp;
extern plat_sockaddr_in machine_sockaddr;  // main thread only
extern uint8_t TCPconnected;               // main thread only
extern uint8_t tcpTXDataBuff[TCP_BUFFER_SIZE];
extern uint16_t TCPtxtransmitlength;
extern uint8_t tcpRXDataBuff[TCP_BUFFER_SIZE];
// Hand-over of a receive batch: the link stores the bytes, then the length
// (release); the consumer reads only after it loaded a non-zero length and
// an unlocked buffer (acquire), and hands back with length 0, then Readed 1.
extern std::atomic<uint16_t> TCPrxrecvedlength;
extern std::atomic<int> flagTCPRXDataLocked;
extern std::atomic<int> flagTCPRXDataReaded;
extern std::atomic<int> flagTCPRXHandshake;

int InitUDP(void);
uint32_t UDPSetstate(UDP_STATE news);
uint32_t PollUDP(void);
void ReceiveUDP(void);
// One blocking receive of a whole datagram into buf[BUF_SIZE], zero-filled
// behind it, and its sender's address into *from (unless nullptr); empty
// and oversize datagrams are skipped. Its length (> 0).
int ReceiveDatagram(char* buf, uint32_t* from);

int Init_TCP(void);
// 0 when connected (TCPconnected is 1), 1 when the attempt failed.
int Open_TCP(void);
int Close_TCP(void);
// Main thread, after a download: ends the machine's connection so that the
// link can serve the next machine. The link thread leaves its hand-over
// cycle and idles, the socket is closed and the receive flags start afresh.
void Release_TCP(void);
int Receive_TCP(void);
// Sends TCPtxtransmitlength bytes of tcpTXDataBuff in one call; 1 on error.
int Transmit_TCP(void);
uint32_t TCPSetstate(TCP_STATE news);
uint32_t PollTCP(void);
