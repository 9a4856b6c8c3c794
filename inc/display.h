// The console of a parallel run: one line per event of a machine and, on a
// terminal, a live block below them with one line per machine in progress.
#pragma once

#include <cstdint>

struct DisplayRow {
    uint32_t addr;  // network byte order
    const char* phase;
    uint32_t blocks_done, blocks_total;  // total 0: no transfer yet, no bar
    uint64_t since_ms;    // plat_now_ms when its work began
    uint32_t silent_s;    // seconds its step has waited for an answer in vain; 0: none
};

void DisplayStart(void);
// Standard output is a terminal that shows the live block.
bool DisplayLive(void);
// The live block shows at most this many machines.
constexpr int kMaxDisplayRows = 254;
// A line of its own above the block.
void DisplayLine(const char* line);
// "ADDRESS: " and the text, as one line.
void DisplayEvent(uint32_t addr, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Redraws the live block, at most about ten times a second unless an event
// line moved it; nothing when standard output is no terminal. header: its
// first line (the counts); status: its last (what the run waits for), or
// nullptr.
void DisplayRows(const char* header, const DisplayRow* rows, int count, uint64_t now_ms, const char* status);
// Someone else printed this line below the block (the console handler):
// it is kept above the block from the next redraw on.
void DisplayForeignLine(const char* text);
// Clears the live block before the result lines.
void DisplayEnd(void);

// Text from the network made safe for a console: printable ASCII kept,
// every other byte as '?'. out holds cap bytes, zero-terminated.
void DisplayPrintable(const char* text, int len, char* out, int cap);
