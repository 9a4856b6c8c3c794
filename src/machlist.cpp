// The machines a run names. Everything named is kept as it comes, then
// sorted once by MachineListLoad: a lookup is a binary search, so a list
// of a hundred thousand entries costs an announcement a few comparisons.
#include "machlist.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "grow.h"
#include "text.h"

namespace {

// Longer than any entry can be ("255.255.255.255/32", "serial 4294967295")
// with room for blanks between "serial" and its number.
constexpr size_t kMaxEntryBytes = 64;
constexpr int kQuotedBytes = 24;  // of a too-long entry, in its message
constexpr size_t kReadChunkBytes = 65536;

// An address named alone (in host byte order, so that it sorts as blocks
// do) or a serial number.
struct Single {
    uint32_t value;
    bool is_serial;
};

// A single from --machine or --serial, with its argument's place among
// those of the list.
struct Argument {
    Single single;
    uint32_t arg;
};

struct Block {
    uint32_t first, last;  // host byte order, both in the block
};

struct ListFile {
    const char* path;
    uint32_t arg;
};

// One of each single named, for the lookups.
struct Found {
    uint32_t value;
    uint32_t place;  // while sealing, its place in named; then in the expected order
};

Array<Argument> arguments;
Array<ListFile> files;
Array<Single> named;  // every single, in the order named, once the files are read
Array<Block> blocks;  // once loaded: sorted, merged and disjoint
Array<Found> found;   // once loaded: the addresses, then the serial numbers, each sorted
size_t address_count = 0;  // of found
uint32_t* expected_order = nullptr;  // indices into found
uint32_t next_arg = 0;
bool given = false;
bool out_of_memory = false;

// Out of memory is noted, and reported by MachineListLoad as the run's
// resource failure rather than as a usage error.
template <typename T>
void Add(Array<T>& a, const T& item) {
    if (!Push(a, item)) out_of_memory = true;
}

uint32_t HostOrder(uint32_t net) {
    uint8_t b[4];
    memcpy(b, &net, sizeof b);
    return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[2]) << 8 | b[3];
}

uint32_t NetOrder(uint32_t host) {
    const uint8_t b[4] = {static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                          static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host)};
    uint32_t net;
    memcpy(&net, b, sizeof net);
    return net;
}

// "a.b.c.d" (*alone) or "a.b.c.d/N" as the block of addresses it names.
bool ParseAddress(const char* text, Block* block, bool* alone) {
    const char* slash = strchr(text, '/');
    uint32_t net = 0;
    *alone = slash == nullptr;
    if (slash == nullptr) {
        if (!ParseDottedQuad(text, &net)) return false;
        *block = Block{HostOrder(net), HostOrder(net)};
        return true;
    }
    char quad[16];
    const size_t quad_len = static_cast<size_t>(slash - text);
    if (quad_len >= sizeof quad) return false;
    memcpy(quad, text, quad_len);
    quad[quad_len] = '\0';
    uint64_t prefix = 0;
    if (!ParseDottedQuad(quad, &net) || !ParseDecimal(slash + 1, 2, &prefix) || prefix > 32) return false;
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    const uint32_t first = HostOrder(net) & mask;  // host bits set name their block
    *block = Block{first, first | ~mask};
    return true;
}

bool ParseSerial(const char* text, Single* single) {
    uint64_t serial = 0;
    if (!ParseDecimal(text, 10, &serial) || serial > UINT32_MAX) return false;
    *single = Single{static_cast<uint32_t>(serial), true};
    return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// One line of a list file as its bytes come. Only the entry is kept, at
// most kMaxEntryBytes of it: a comment may be of any length.
struct Line {
    char text[kMaxEntryBytes + 1];
    size_t len;        // bytes kept, blanks after the entry included
    size_t entry_len;  // up to its last byte that is not blank
    bool comment, too_long;
    bool held_cr;  // a '\r' that ends the line when '\n' follows
};

void Keep(Line& l, char c) {
    const bool blank = IsBlank(c);
    if (l.len == kMaxEntryBytes) {
        l.too_long = l.too_long || !blank;
        return;
    }
    l.text[l.len++] = c;
    if (!blank) l.entry_len = l.len;
}

void Take(Line& l, char c) {
    if (l.comment) return;
    if (l.held_cr) {
        l.held_cr = false;
        Keep(l, '\r');  // inside the line: part of the entry, which it spoils
    }
    if (c == '\r') {
        l.held_cr = true;
    } else if (c == '#') {
        l.comment = true;
    } else if (!IsBlank(c) || l.len > 0) {
        Keep(l, c == '\0' ? '?' : c);  // a NUL would end the text early and hide what follows it
    }
}

// The line's entry, if any, into the list. False with why filled for a bad line.
bool EndLine(Line& l, const char* file, uint64_t number, char* why, size_t why_len) {
    constexpr const char* kWhatIsGood = "an address, a CIDR block or 'serial NUMBER'";
    if (l.too_long) {
        snprintf(why, why_len, "--machines %s:%" PRIu64 ": '%.*s...' is too long for %s", file, number,
                 kQuotedBytes, l.text, kWhatIsGood);
        return false;
    }
    if (l.entry_len == 0) return true;
    l.text[l.entry_len] = '\0';
    bool good;
    if (strncmp(l.text, "serial", 6) == 0 && IsBlank(l.text[6])) {
        const char* number_text = l.text + 6;
        while (IsBlank(*number_text)) ++number_text;
        Single single{};
        good = ParseSerial(number_text, &single);
        if (good) Add(named, single);
    } else {
        Block block{};
        bool alone = false;
        good = ParseAddress(l.text, &block, &alone);
        if (good && alone) Add(named, Single{block.first, false});
        if (good && !alone) Add(blocks, block);
    }
    if (!good) snprintf(why, why_len, "--machines %s:%" PRIu64 ": '%s' is not %s", file, number, l.text, kWhatIsGood);
    return good;
}

// Bad lines of all the files, each told up to kToldBadLines, then counted.
constexpr int kToldBadLines = 10;
int bad_lines = 0;

// A bad line into why: the first as it is, the next ones behind it as
// lines of their own, after the tenth only counted.
void Bad(const char* line, char* why, size_t why_len) {
    ++bad_lines;
    const size_t used = strlen(why);
    if (bad_lines == 1) {
        snprintf(why, why_len, "%s", line);
    } else if (bad_lines <= kToldBadLines && used + 1 < why_len) {
        snprintf(why + used, why_len - used, "\nlanflash: %s", line);
    }
}

MachineListLoad_Result ReadFile(const char* path, char* why, size_t why_len) {
    const bool standard_input = strcmp(path, "-") == 0;
    const char* name = standard_input ? "(standard input)" : path;
    FILE* f = standard_input ? stdin : fopen(path, "rb");
    if (f == nullptr) {
        snprintf(why, why_len, "--machines %s: cannot read (%s)", name, strerror(errno));
        return ML_UNREADABLE;
    }
    static char chunk[kReadChunkBytes];
    char bad[256];
    Line line{};
    uint64_t number = 1;
    const int bad_before = bad_lines;
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) {
        for (size_t i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                Take(line, chunk[i]);
                continue;
            }
            if (!EndLine(line, name, number++, bad, sizeof bad)) Bad(bad, why, why_len);
            line = Line{};
        }
    }
    MachineListLoad_Result result = ML_LOADED;
    if (ferror(f)) {
        snprintf(why, why_len, "--machines %s: cannot read (%s)", name, strerror(errno));
        result = ML_UNREADABLE;
    } else if (!EndLine(line, name, number, bad, sizeof bad)) {  // no newline at the end
        Bad(bad, why, why_len);
    }
    if (result == ML_LOADED && bad_lines > bad_before) result = ML_BAD_LINE;
    if (!standard_input) fclose(f);
    return result;
}

// Stable, so that of equal keys the first named stays first; a library
// sort takes several times as long for a hundred thousand entries.
template <typename T, typename Key>
void SortByKey(T* items, size_t n, Key key) {
    if (n < 2) return;
    T* spare = static_cast<T*>(malloc(n * sizeof(T)));
    if (spare == nullptr) {
        out_of_memory = true;
        return;
    }
    T* from = items;
    T* to = spare;
    for (int shift = 0; shift < 32; shift += 8) {
        size_t starts[257] = {};
        for (size_t i = 0; i < n; ++i) ++starts[(key(from[i]) >> shift & 0xFF) + 1];
        for (int b = 0; b < 256; ++b) starts[b + 1] += starts[b];
        for (size_t i = 0; i < n; ++i) to[starts[key(from[i]) >> shift & 0xFF]++] = from[i];
        T* const sorted = to;
        to = from;
        from = sorted;
    }
    free(spare);  // four passes: the sorted items are back in items
}

// Keeps the first of each value in items[0, n), sorted; returns how many remain.
size_t KeepFirstOfEach(Found* items, size_t n) {
    size_t kept = 0;
    for (size_t i = 0; i < n; ++i)
        if (kept == 0 || items[kept - 1].value != items[i].value) items[kept++] = items[i];
    return kept;
}

void Seal() {
    const size_t n = named.count;
    Release(found);
    found.items = static_cast<Found*>(malloc((n > 0 ? n : 1) * sizeof(Found)));
    uint32_t* found_at = static_cast<uint32_t*>(malloc((n > 0 ? n : 1) * sizeof(uint32_t)));
    free(expected_order);
    expected_order = static_cast<uint32_t*>(malloc((n > 0 ? n : 1) * sizeof(uint32_t)));
    if (found.items == nullptr || found_at == nullptr || expected_order == nullptr) {
        free(found_at);
        out_of_memory = true;
        return;
    }
    size_t addresses = 0, serials = 0;
    for (size_t i = 0; i < n; ++i) addresses += !named.items[i].is_serial;
    for (size_t i = 0; i < n; ++i) {
        const Single& s = named.items[i];
        found.items[s.is_serial ? addresses + serials++ : i - serials] = Found{s.value, static_cast<uint32_t>(i)};
    }
    auto value = [](const Found& f) { return f.value; };
    SortByKey(found.items, addresses, value);
    SortByKey(found.items + addresses, serials, value);
    address_count = KeepFirstOfEach(found.items, addresses);
    memmove(found.items + address_count, found.items + addresses, serials * sizeof(Found));
    found.count = address_count + KeepFirstOfEach(found.items + address_count, serials);

    // The expected order is the order named: walk named, not a sort.
    for (size_t i = 0; i < n; ++i) found_at[i] = UINT32_MAX;
    for (size_t k = 0; k < found.count; ++k) found_at[found.items[k].place] = static_cast<uint32_t>(k);
    uint32_t place = 0;
    for (size_t i = 0; i < n; ++i) {
        if (found_at[i] == UINT32_MAX) continue;
        expected_order[place] = found_at[i];
        found.items[found_at[i]].place = place++;
    }
    free(found_at);

    SortByKey(blocks.items, blocks.count, [](const Block& b) { return b.first; });
    size_t merged = 0;
    for (size_t i = 0; i < blocks.count; ++i) {
        const Block& b = blocks.items[i];
        Block* last = merged > 0 ? &blocks.items[merged - 1] : nullptr;
        // In 64 bits: a block may end at 255.255.255.255.
        if (last != nullptr && uint64_t{b.first} <= uint64_t{last->last} + 1) {
            if (b.last > last->last) last->last = b.last;
        } else {
            blocks.items[merged++] = b;
        }
    }
    blocks.count = merged;
}

// The index in found[from, to) of the value, or -1.
int Find(size_t from, size_t to, uint32_t value) {
    const size_t end = to;
    while (from < to) {
        const size_t mid = from + (to - from) / 2;
        if (found.items[mid].value < value) {
            from = mid + 1;
        } else {
            to = mid;
        }
    }
    return from < end && found.items[from].value == value ? static_cast<int>(from) : -1;
}

bool InBlock(uint32_t host) {
    // The first block that starts after host; the one before it may hold it.
    size_t from = 0, to = blocks.count;
    while (from < to) {
        const size_t mid = from + (to - from) / 2;
        if (blocks.items[mid].first <= host) {
            from = mid + 1;
        } else {
            to = mid;
        }
    }
    return from > 0 && blocks.items[from - 1].last >= host;
}

}  // namespace

bool MachineListAddAddress(const char* text, char* why, size_t why_len) {
    given = true;
    Block block{};
    bool alone = false;
    const uint32_t arg = next_arg++;
    if (ParseAddress(text, &block, &alone)) {
        if (alone) Add(arguments, Argument{Single{block.first, false}, arg});
        if (!alone) Add(blocks, block);
        return true;
    }
    snprintf(why, why_len,
             "--machine: '%s' is not a dotted IPv4 address or CIDR block (like 192.168.1.40 or 10.20.0.0/24)", text);
    return false;
}

bool MachineListAddSerial(const char* text, char* why, size_t why_len) {
    given = true;
    Single single{};
    const uint32_t arg = next_arg++;
    if (ParseSerial(text, &single)) {
        Add(arguments, Argument{single, arg});
        return true;
    }
    snprintf(why, why_len, "--serial: '%s' is not a decimal serial number (0 to 4294967295)", text);
    return false;
}

void MachineListAddFile(const char* path) {
    given = true;
    Add(files, ListFile{path, next_arg++});
}

MachineListLoad_Result MachineListLoad(char* why, size_t why_len) {
    // Into named in the order named: each file where it stands among the
    // arguments. Every bad line of every file is told, not only the first.
    named.count = 0;
    bad_lines = 0;
    if (why_len > 0) why[0] = '\0';
    size_t next = 0;
    for (size_t i = 0; i < files.count && !out_of_memory; ++i) {
        for (; next < arguments.count && arguments.items[next].arg < files.items[i].arg; ++next)
            Add(named, arguments.items[next].single);
        const MachineListLoad_Result r = ReadFile(files.items[i].path, why, why_len);
        if (r == ML_UNREADABLE) return r;
    }
    if (bad_lines > kToldBadLines) {
        const size_t used = strlen(why);
        snprintf(why + used, why_len - used, "\nlanflash: --machines: %d more bad lines", bad_lines - kToldBadLines);
    }
    if (bad_lines > 0) return ML_BAD_LINE;
    for (; next < arguments.count; ++next) Add(named, arguments.items[next].single);
    if (!out_of_memory) Seal();
    if (out_of_memory) {
        snprintf(why, why_len, "out of memory for the machines named");
        return ML_UNREADABLE;
    }
    return ML_LOADED;
}

bool MachineListGiven(void) { return given; }

bool MachineListNamesNone(void) { return given && found.count == 0 && blocks.count == 0; }

bool MachineListHasAddress(uint32_t addr) {
    const uint32_t host = HostOrder(addr);
    return Find(0, address_count, host) >= 0 || InBlock(host);
}

bool MachineListHasSerial(uint32_t serial) { return Find(address_count, found.count, serial) >= 0; }

int MachineListExpectedCount(void) { return static_cast<int>(found.count); }

ExpectedMachine MachineListExpected(int i) {
    const uint32_t k = expected_order[i];
    const bool is_serial = k >= address_count;
    return ExpectedMachine{is_serial, is_serial ? found.items[k].value : NetOrder(found.items[k].value)};
}

int MachineListExpectedIndexOfAddress(uint32_t addr) {
    const int i = Find(0, address_count, HostOrder(addr));
    return i >= 0 ? static_cast<int>(found.items[i].place) : -1;
}

int MachineListExpectedIndexOfSerial(uint32_t serial) {
    const int i = Find(address_count, found.count, serial);
    return i >= 0 ? static_cast<int>(found.items[i].place) : -1;
}

void MachineListClear(void) {
    Release(arguments);
    Release(files);
    Release(named);
    Release(blocks);
    Release(found);
    free(expected_order);
    expected_order = nullptr;
    address_count = 0;
    next_arg = 0;
    given = false;
    out_of_memory = false;
}
