// Which announcements a run takes, and what it leaves alone, said once.
#include "looks.h"

#include <cstring>

#include "addrmap.h"
#include "grow.h"
#include "machines.h"
#include "machlist.h"
#include "model.h"
#include "news.h"
#include "outcome.h"

namespace {

AddrMap said;                 // key -> the Said bits
AddrMap in_conflict;          // addresses two boards announce
Array<LeftAlone> left_alone;  // each said once, in the order said

// A machine in the table was chosen when it was added: so its boot
// loader, which announces no serial number, is chosen by its address.
bool Chosen(const Announcement& an, bool in_table) {
    if (!MachineListGiven() || in_table) return true;
    if (MachineListHasAddress(an.addr)) return true;
    return an.kind == kAppKind && MachineListHasSerial(an.serial);
}

}  // namespace

void LooksStart(void) {
    AddrMapFree(&said);
    AddrMapFree(&in_conflict);
    Release(left_alone);
}

bool ConflictAt(uint32_t addr) { return AddrMapGet(&in_conflict, addr) >= 0; }

bool ConflictMark(uint32_t addr) {
    if (ConflictAt(addr)) return false;
    (void)AddrMapPut(&in_conflict, addr, 1);
    return true;
}

bool WasSaid(uint64_t key, Said what) {
    const int bits = AddrMapGet(&said, key);
    return bits >= 0 && (bits & what) != 0;
}

void MarkSaid(uint64_t key, Said what) {
    const int had = AddrMapGet(&said, key);
    (void)AddrMapPut(&said, key, (had < 0 ? 0 : had) | what);
}

// Named alone by its address or serial number, with --all: it must be heard.
bool Expected(const Announcement& an) {
    return RunOptions().all && (MachineListExpectedIndexOfAddress(an.addr) >= 0 ||
                                (an.kind == kAppKind && MachineListExpectedIndexOfSerial(an.serial) >= 0));
}

// Another board than the one this machine heard: another serial number,
// or another model. The name field's text behind the model's name may
// change with the firmware, so it does not count.
bool OtherBoard(const Machine& m, const Announcement& an) {
    if (!m.rec.has_serial) return false;  // its application was never heard
    int known_len = 0;
    const bool other_model = MatchName(m.rec.name, &known_len) != an.kind || known_len != an.matched_len ||
                             memcmp(m.rec.name, an.name, static_cast<size_t>(known_len)) != 0;
    return m.rec.serial != an.serial || other_model;
}

Look LookAt(const Announcement& an, uint32_t from) {
    Look l{TableFind(an.addr), TAKEN, ModelOfName(an.name, an.name_len)};
    // Any host can send what looks like an announcement; only the machine
    // itself is believed.
    if (from != 0 && from != an.addr) {
        l.refusal = SENT_FROM_ELSEWHERE;
        return l;
    }
    // An application that is not the machine done at its address is a
    // board swapped in, a machine of its own; at an address in conflict
    // the other board is none.
    if (l.i >= 0 && !ConflictAt(an.addr) && an.kind == kAppKind && IsFinal(TableMachine(l.i).phase) &&
        OtherBoard(TableMachine(l.i), an))
        l.i = -1;
    const LanflashOptions& opts = RunOptions();
    if (!Chosen(an, l.i >= 0)) {
        l.refusal = NOT_LISTED;
    } else if (!ModelWanted(opts.models, l.model)) {
        l.refusal = OTHER_MODEL;
    } else if (!opts.all && RunTheOne() >= 0 && l.i != RunTheOne()) {
        l.refusal = NOT_THE_ONE;
    }
    return l;
}

uint64_t SaidKey(const Look& l, uint32_t addr, uint32_t from) {
    return l.refusal == SENT_FROM_ELSEWHERE ? AddrPair(from, addr) : addr;
}

void SayLeftAlone(const Look& l, const Announcement& an, uint32_t from) {
    const uint64_t key = SaidKey(l, an.addr, from);
    if (WasSaid(key, SAID_LEFT_ALONE)) return;
    MarkSaid(key, SAID_LEFT_ALONE);
    (void)Push(left_alone, LeftAlone{an.addr, from, l.refusal, l.model});
    News n{};
    n.kind = NEWS_LEFT_ALONE;
    n.machine = -1;
    n.addr = an.addr;
    n.from = from;
    n.refusal = l.refusal;
    n.model = l.model;
    n.an = &an;
    NewsTell(n);
}

int RulesLeftAloneCount(void) { return static_cast<int>(left_alone.count); }

const LeftAlone& RulesLeftAlone(int i) { return left_alone[static_cast<size_t>(i)]; }
