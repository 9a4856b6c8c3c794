// Event lines and the live block of a parallel run. The block is redrawn
// in place with ANSI cursor movement; pipes and files get plain lines only.
#include "display.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "text.h"

namespace {

constexpr uint64_t kRedrawEveryMs = 100;
constexpr int kBarCells = 20;
constexpr int kRowBytes = 128;
constexpr int kMaxRows = 256;

bool live = false;
int drawn_rows = 0;      // lines of the block now on the screen
bool dirty = false;      // an event line went above: draw at once
uint64_t drawn_ms = 0;
// Block and erasure in one write, so the terminal never shows half of it.
char frame[kMaxRows * kRowBytes + 64];

const char* foreign = nullptr;  // a line printed below the block, to keep

// Cursor to the block's first line, then everything below it erased; a
// line that someone else printed below the block goes above it again.
int Erase(char* out) {
    if (drawn_rows == 0) return 0;
    int n = snprintf(out, 32, "\x1b[%dF\x1b[J", drawn_rows);
    if (foreign != nullptr) n += snprintf(out + n, 32, "%.24s\n", foreign);
    foreign = nullptr;
    drawn_rows = 0;
    return n;
}

}  // namespace

void DisplayStart(void) { live = plat_stdout_is_live_terminal(); }

bool DisplayLive(void) { return live; }

void DisplayLine(const char* line) {
    if (!live) {
        // Whole lines: a program reading the output sees each event at once.
        printf("%s\n", line);
        return;
    }
    char erase[64];
    const int n = Erase(erase);
    printf("%.*s%s\n", n, erase, line);
    dirty = true;
}

void DisplayEvent(uint32_t addr, const char* format, ...) {
    char line[512];
    DottedQuad(addr, line);
    const size_t at = strlen(line);
    memcpy(line + at, ": ", 3);
    va_list args;
    va_start(args, format);
    vsnprintf(line + at + 2, sizeof line - at - 2, format, args);
    va_end(args);
    DisplayLine(line);
}

void DisplayRows(const char* header, const DisplayRow* rows, int count, uint64_t now_ms, const char* status) {
    if (!live || (!dirty && now_ms < drawn_ms + kRedrawEveryMs)) return;
    if (count > kMaxRows - 2) count = kMaxRows - 2;
    int at = Erase(frame);
    at += snprintf(frame + at, kRowBytes, "%.*s\n", kRowBytes - 2, header);
    for (int i = 0; i < count; ++i) {
        const DisplayRow& r = rows[i];
        char addr[16], blocks[32], silent[32] = "";
        DottedQuad(r.addr, addr);
        const uint32_t percent = r.blocks_total ? r.blocks_done * 100 / r.blocks_total : 0;
        char bar[kBarCells + 1];
        const int full = static_cast<int>(percent * kBarCells / 100);
        for (int c = 0; c < kBarCells; ++c) bar[c] = r.blocks_total == 0 ? ' ' : c < full ? '#' : '.';
        bar[kBarCells] = '\0';
        if (r.blocks_total != 0) {
            snprintf(blocks, sizeof blocks, "%3u%% %4u/%-4u", static_cast<unsigned>(percent),
                     static_cast<unsigned>(r.blocks_done), static_cast<unsigned>(r.blocks_total));
        } else {
            snprintf(blocks, sizeof blocks, "%14s", "");
        }
        if (r.silent_s != 0) snprintf(silent, sizeof silent, "  no answer for %u s", static_cast<unsigned>(r.silent_s));
        const uint64_t seconds = (now_ms - r.since_ms) / 1000;
        at += snprintf(frame + at, kRowBytes, "%-15s %-11s [%s] %s %4us%s\n", addr, r.phase, bar, blocks,
                       static_cast<unsigned>(seconds), silent);
    }
    if (status != nullptr) at += snprintf(frame + at, kRowBytes, "%.*s\n", kRowBytes - 2, status);
    fwrite(frame, 1, static_cast<size_t>(at), stdout);
    fflush(stdout);
    drawn_rows = 1 + count + (status != nullptr ? 1 : 0);
    drawn_ms = now_ms;
    dirty = false;
}

void DisplayForeignLine(const char* text) {
    if (!live || drawn_rows == 0) return;
    ++drawn_rows;
    foreign = text;
}

void DisplayEnd(void) {
    if (!live) return;
    char erase[64];
    const int n = Erase(erase);
    fwrite(erase, 1, static_cast<size_t>(n), stdout);
    fflush(stdout);
}

void DisplayPrintable(const char* text, int len, char* out, int cap) {
    int n = 0;
    for (int i = 0; i < len && n < cap - 1; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        out[n++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    out[n] = '\0';
}
