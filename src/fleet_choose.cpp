// Choosing: which announcements are acted on, and what the sequencer does
// with each one it is handed.
#include "fleet_choose.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "addrmap.h"
#include "conflict.h"
#include "eth.h"
#include "fleet_rules.h"
#include "machlist.h"
#include "model.h"
#include "mstate.h"
#include "platform.h"
#include "report.h"
#include "rollout.h"
#include "text.h"
#include "worker.h"

namespace {

constexpr int kMaxResets = 2;

// Why an announcement is not acted on, whatever its machine is doing.
enum Refusal { TAKEN, NOT_LISTED, OTHER_MODEL, SENT_FROM_ELSEWHERE, NOT_THE_ONE };

struct Look {
    int i;  // the machine in the table, or -1 (a new one)
    Refusal refusal;
    Model model;
};

AddrMap said_left_alone;  // addresses, or sender and address, the trace has told so

// A machine in the table was chosen when it was added: so its boot
// loader, which announces no serial number, is chosen by its address.
bool Chosen(uint32_t addr, int kind, uint32_t serial, bool in_table) {
    if (!MachineListGiven() || in_table) return true;
    if (MachineListHasAddress(addr)) return true;
    return kind == kAppKind && MachineListHasSerial(serial);
}

// Named alone by its address or serial number, with --all: it must be heard.
bool Expected(uint32_t addr, int kind, uint32_t serial) {
    return FleetOptions().all && (MachineListExpectedIndexOfAddress(addr) >= 0 ||
                                  (kind == kAppKind && MachineListExpectedIndexOfSerial(serial) >= 0));
}

// Another board than the one this machine heard: another serial number,
// or another model. The name field's text behind the model's name may
// change with the firmware, so it does not count.
bool OtherBoard(const Machine& m, uint32_t serial, const char* name) {
    if (!m.rec.has_serial) return false;  // its application was never heard
    int known_len = 0, heard_len = 0;
    const bool other_model = MatchName(m.rec.name, &known_len) != MatchName(name, &heard_len) || known_len != heard_len ||
                             memcmp(m.rec.name, name, static_cast<size_t>(known_len)) != 0;
    return m.rec.serial != serial || other_model;
}

// An application that is not the machine done at its address: a board
// swapped in, a machine of its own.
bool SwappedIn(const Machine& m, int kind, uint32_t serial, const char* name) {
    return kind == kAppKind && IsFinal(m.phase) && OtherBoard(m, serial, name);
}

Look LookAt(uint32_t addr, uint32_t from, int kind, uint32_t serial, const char* name, int name_len) {
    Look l{TableFind(addr), TAKEN, ModelOfName(name, name_len)};
    // Any host can send what looks like an announcement; only the machine
    // itself is believed.
    if (from != 0 && from != addr) {
        l.refusal = SENT_FROM_ELSEWHERE;
        return l;
    }
    // At an address in conflict the other board is no machine of its own.
    if (l.i >= 0 && !ConflictAt(addr) && SwappedIn(TableMachine(l.i), kind, serial, name)) l.i = -1;
    const LanflashOptions& opts = FleetOptions();
    if (!Chosen(addr, kind, serial, l.i >= 0)) {
        l.refusal = NOT_LISTED;
    } else if (!ModelWanted(opts.models, l.model)) {
        l.refusal = OTHER_MODEL;
    } else if (!opts.all && FleetTheOne() >= 0 && l.i != FleetTheOne()) {
        l.refusal = NOT_THE_ONE;
    }
    return l;
}

uint64_t SaidKey(const Look& l, uint32_t addr, uint32_t from) {
    return l.refusal == SENT_FROM_ELSEWHERE ? AddrPair(from, addr) : addr;
}

void LeftAlone(const Look& l, uint32_t addr, uint32_t from) {
    char text[16], sender[16];
    if (l.refusal == SENT_FROM_ELSEWHERE) {
        printf("\nleft alone: %s, sent from %s", DottedQuad(addr, text), DottedQuad(from, sender));
    } else if (l.refusal == OTHER_MODEL) {
        printf("\nleft alone: %s (model %s)", DottedQuad(addr, text), ModelText(l.model));
    } else {
        printf("\nleft alone: %s", DottedQuad(addr, text));
    }
    (void)AddrMapPut(&said_left_alone, SaidKey(l, addr, from), 1);
}

int AddAnnounced(uint32_t addr, Phase phase) {
    return FleetAdd(addr, phase, announced_kind, announced_serial, udpDataBuff + kNameOffset,
                    NameFieldLength(udpDataBuff));
}

// A machine just chosen, waiting to begin: skipped once the rollout has
// stopped, failed at an address in conflict. Without --all it is the one,
// also while it is listened to before it begins, or when it cannot.
void NewlyChosen(int i) {
    Machine& m = TableMachine(i);
    const uint64_t now = plat_now_ms();
    if (!FleetOptions().all) FleetSetTheOne(i);
    if (RolloutStopped()) {
        FleetFinish(m, SKIPPED, now, REASON_ROLLOUT_STOPPED);
    } else if (ConflictAt(m.rec.addr)) {
        FleetFinish(m, FAILED, now, REASON_ADDRESS_CONFLICT);
    }
}

// An expected machine of another model is accounted for: skipped.
void SkipOtherModel(uint32_t addr, int kind, uint32_t serial, const char* name, int name_len) {
    const int i = FleetAdd(addr, SKIPPED, kind, serial, name, name_len);
    if (i >= 0) FleetFinish(TableMachine(i), SKIPPED, plat_now_ms(), REASON_ANOTHER_MODEL);
}

}  // namespace

Verdict FleetJudge(uint32_t addr, uint32_t from, int kind, uint32_t serial, const char* name, int name_len) {
    const Look l = LookAt(addr, from, kind, serial, name, name_len);
    if (l.refusal != TAKEN)
        return AddrMapGet(&said_left_alone, SaidKey(l, addr, from)) >= 0 ? V_LEFT_ALONE_SAID : V_LEFT_ALONE;
    if (FleetExploring()) return FleetOptions().all && l.i >= 0 ? V_NOTHING_NEW : V_NEW;
    if (l.i < 0) return V_NEW;
    return IsFinal(TableMachine(l.i).phase) ? V_NOTHING_NEW : V_IN_PROGRESS;
}

int FleetChoose(int retv, uint32_t from, uint64_t arrived_ms, uint64_t first_arrived_ms, int* machine) {
    if (retv == -1) return -1;
    const uint64_t now = plat_now_ms();
    const uint32_t addr = machine_sockaddr.sin_addr;
    const char* name = udpDataBuff + kNameOffset;
    const int name_len = NameFieldLength(udpDataBuff);
    const Look l = LookAt(addr, from, announced_kind, announced_serial, name, name_len);
    if (l.refusal == OTHER_MODEL && l.i < 0 && Expected(addr, announced_kind, announced_serial))
        SkipOtherModel(addr, announced_kind, announced_serial, name, name_len);
    if (l.refusal != TAKEN) {
        LeftAlone(l, addr, from);
        return -1;
    }
    int i = l.i;
    if (retv == 3) {  // explore mode
        const bool boot = announced_kind != kAppKind;
        if (!FleetOptions().all) {
            FleetSetExplored();
            if (AddAnnounced(addr, LISTED) < 0) return -1;
            ReportListed(addr, name, name_len, boot, !boot, announced_serial);
            return 3;
        }
        if (i < 0 && AddAnnounced(addr, LISTED) >= 0) {
            char text[16];
            printf("\nmachine: %s %.*s", DottedQuad(addr, text), name_len, name);
            if (announced_kind == kAppKind) printf(" No: %" PRIu32, announced_serial);
            ReportListed(addr, name, name_len, boot, !boot, announced_serial);
        }
        return -1;
    }
    bool fresh = false;  // a new machine, or a new try of one
    if (i < 0) {
        i = AddAnnounced(addr, WAITING);
        if (i < 0) {
            LeftAlone(Look{-1, NOT_LISTED, l.model}, addr, from);  // no memory left for it
            return -1;
        }
        NewlyChosen(i);
    }
    Machine* m = &TableMachine(i);
    // An address in conflict gets no new connection.
    if (ConflictAt(addr) && (m->phase == WAITING || m->phase == RETRYING || m->phase == RESETTING)) {
        FleetFinish(*m, FAILED, now, REASON_ADDRESS_CONFLICT);
        return -1;
    }
    if (m->phase == WAITING) {  // chosen, and held back until the rollout lets it begin
        if (!FleetMayBegin(i, arrived_ms)) return -1;
        fresh = true;
    } else if (m->phase == RETRYING) {
        // Judged by when it arrived: announced during the pause, it waits.
        if (arrived_ms < m->retry_at_ms || !FleetMayBegin(i, arrived_ms)) return -1;
        char text[96], address[16];
        FleetStartTry(*m, text, sizeof text);
        printf("\n%s: %s", DottedQuad(addr, address), text);
        fresh = true;
    }
    if (retv == 2) {
        if (fresh) {
            m->phase = RESETTING;
        } else if (m->phase == CONFIRMING) {
            // Judged by when it arrived: the main loop may have been busy.
            const uint64_t run_ms = m->run_ms;
            const uint64_t first = first_arrived_ms > run_ms ? first_arrived_ms : arrived_ms;
            // Another board there confirms nothing: it waits for this one to end.
            if (first > run_ms && first <= run_ms + FleetWaitMs() && !OtherBoard(*m, announced_serial, name)) {
                m->rec.run_to_confirm_ms = static_cast<int64_t>(first - run_ms);
                SetName(m->rec, name, name_len);
                m->rec.has_serial = true;
                m->rec.serial = announced_serial;
                WorkerSay("confirmed %lld", static_cast<long long>(m->rec.run_to_confirm_ms));
                FleetFinish(*m, UPDATED, now, REASON_NONE);
            }
            return -1;
        } else if (m->phase != RESETTING || m->resets >= kMaxResets || arrived_ms <= m->reset_ms + kReactMs) {
            return -1;  // sent before its reset, still restarting, or done
        }
        ++m->resets;
        m->reset_ms = now;
    } else {
        if (fresh) {
            m->phase = UPDATING;
        } else if (m->phase == RESETTING) {
            m->phase = UPDATING;
            if (m->reset_sent_ms != 0) {
                const uint64_t heard = first_arrived_ms > m->reset_sent_ms ? first_arrived_ms : arrived_ms;
                m->rec.reset_to_boot_ms = heard > m->reset_sent_ms ? static_cast<int64_t>(heard - m->reset_sent_ms) : 0;
            }
        } else {
            return -1;  // updated, failed or waiting to be confirmed: once per run
        }
        WorkerSay("boot");
    }
    FleetSetTheOne(i);
    *machine = i;
    return retv;
}

int FleetHeard(uint32_t addr, int kind, uint32_t serial, const char* name, int name_len, Heard* how) {
    const Look l = LookAt(addr, 0, kind, serial, name, name_len);
    if (l.refusal == OTHER_MODEL && l.i < 0 && Expected(addr, kind, serial))
        SkipOtherModel(addr, kind, serial, name, name_len);
    if (l.refusal != TAKEN) {
        *how = l.refusal == OTHER_MODEL ? HEARD_OTHER_MODEL : HEARD_NOT_LISTED;
        return -1;
    }
    if (l.i >= 0) {
        *how = HEARD_KNOWN;
        return l.i;
    }
    const int i = FleetAdd(addr, WAITING, kind, serial, name, name_len);
    *how = i >= 0 ? HEARD_ADDED : HEARD_NOT_LISTED;
    if (i >= 0) NewlyChosen(i);
    return i;
}
