// The seam between the design (main, eth, mstate, ymodem) and what the
// options add above it. The design owns the slots and calls them; a module
// above fills those it needs, once at start-up, before any thread starts,
// and never again. Every slot is null by default, and a null slot means the
// design's own behaviour, so without options nothing here runs.
#pragma once

#include <cstdint>

enum M_STATE : uint32_t;  // mstate.h

// What a transfer went through. answer: the last reply byte, -1 for none.
enum TransferNews {
    TN_STARTED,
    TN_DATA_SENT,   // block: its number; answer: tries before this one
    TN_DATA_ACKED,  // block: its number
    TN_FAILED_BLOCK0,
    TN_FAILED_DATA,  // block: its number
    TN_FAILED_EOT,
    TN_FAILED_CLOSING,
    TN_DONE,
};

struct Hooks {
    // The shell's threads and main loop.
    uint32_t (*poll_listener)(void);  // listener thread, instead of PollUDP
    // Whether the main loop ends after this pass; stop_asked: a console
    // event came. Null: it ends on a console event only.
    bool (*run_ends)(bool stop_asked);
    // Instead of the sequencer (a parallel run's parent has none); the
    // console event, -1 until one came. Its delay.
    uint32_t (*poll_instead)(int console_event);
    // Before each sequencer poll; ending: this is the run's last pass.
    void (*before_poll)(bool ending);
    // The delay that the sequencer asked for, or a shorter one.
    uint32_t (*pace)(uint32_t delay_ms);
    void (*main_pause)(uint32_t ms, bool ending);  // instead of the main loop's sleep
    void (*link_pause)(uint32_t ms);               // instead of the link thread's sleep
    // The console handler's thread, after its line, on every console event
    // (0 Ctrl-C, 1 Ctrl-Break, else another): the main loop hears of the
    // first only that a stop was asked.
    void (*console)(uint32_t event);

    // The sequencer.
    // After a parse in M_WAIT_FOR_UDP_DATA: the parser's result to act on,
    // or -1 to leave the announcement alone.
    int (*choose)(int retv);
    void (*transition)(M_STATE from, M_STATE to);  // before m_state changes
    uint32_t (*idle)(void);                        // the poll of M_IDLE: its delay

    // The YMODEM sender.
    void (*transfer)(TransferNews news, uint32_t block, int answer);
    // Instead of the sleep between looks for a reply; took: a byte was taken.
    void (*reply_pause)(bool took, uint32_t ms);
    // Whether the transfer is to end now, without '3': every wait for a
    // reply gives up at once (the machine closed the connection, or the
    // user abandons the transfer).
    bool (*give_up)(void);

    // The machine link.
    void (*sending)(const uint8_t* data, int len);  // main thread, before the send
    // Link thread, right after a receive stored n bytes (n <= 0: closed or
    // failed), while they are still its own.
    void (*received)(const uint8_t* data, int n);
    // Link thread, right after it unlocked a receive batch: the earliest
    // moment the consumer may take it (tests).
    void (*rx_unlocked)(void);
    // Link thread: a receive found the connection closed by the machine,
    // or failed.
    void (*link_closed)(void);
};

extern Hooks hooks;

// ------------------------------------------------------------ the design's API
// What a module above the design may use of it besides the slots: the
// functions from here to the end of this file, and the types and constants
// of the design's headers. Nothing else of eth, mstate, ymodem or main is
// theirs to call or to touch; tools/layers.py reads this list and fails on
// any other use.

// Announcements, read as the sequencer reads them but without its trace.
constexpr int kAnnouncedAddressOffset = 11;  // 4 bytes, network byte order
constexpr int kNameOffset = 27;
constexpr int kAppKind = 2;  // MatchName's (and the parser's) application
bool IsAnnouncement(const char* datagram);  // the signature matches
// 1 when the name field begins with a boot loader's name, 2 with an
// application's, -1 with neither; *len is the matched name's length.
int MatchName(const char* name, int* len);
// The name field's bytes up to its zero byte or the datagram buffer's end.
int NameFieldLength(const char* datagram);
// The serial number of an application whose matched name is name_len
// bytes long: its text begins behind the name, its zero byte and two more.
uint32_t ReadSerial(const char* datagram, int name_len);

// The sequencer and its link, main thread only.
M_STATE MGetstate(void);
// A datagram for the sequencer's next look in M_WAIT_FOR_UDP_DATA: len
// bytes (1 to the datagram buffer's size), read as zero behind them.
void UDPOffer(const char* datagram, int len);
bool UDPOffered(void);  // one waits to be parsed
// Lets go of the machine's connection, whatever the link does with it (a
// link thread that receives on it lets go first), and closes it.
void TCPLetGo(void);
// Back to M_WAIT_FOR_UDP_DATA, traced as every transition; nothing when
// the sequencer waits there already.
void MReturnToWait(void);
bool TCPIsConnected(void);
// The link's thread has nothing to do until another thread acts: it
// receives on no connection (until the sequencer gives it a state), or a
// batch it received waits for the YMODEM sender to take it.
bool TCPLinkWaits(void);
// Received bytes wait for the YMODEM sender.
bool TCPBatchWaiting(void);
