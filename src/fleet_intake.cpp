// Judging each datagram as it arrives, so that a busy network neither
// delays the machines a run acts on nor keeps the run from ending.
#include "fleet_intake.h"

#include <cstring>

#include "addrmap.h"
#include "conflict.h"
#include "eth.h"
#include "fleet_choose.h"
#include "fleet_queue.h"
#include "fleet_rules.h"
#include "mstate.h"

namespace {

ArrivalLine in_progress;  // machines the run acts on
ArrivalLine fresh;        // chosen machines not yet in the table
ArrivalLine once;         // to be traced once, then left alone
ArrivalRing junk;         // datagrams of no machine
AddrMap unknown_said;     // senders of names we do not know, traced once
bool in_hand = false;     // the sequencer has a datagram of this address
bool in_hand_chosen = false;
uint32_t in_hand_addr = 0;

// -1 in *kind: a name we do not know.
Verdict Judge(const Arrival& a, uint32_t addr, int* kind) {
    int name_len = 0;
    *kind = MatchName(a.data + kNameOffset, &name_len);
    if (*kind == -1) return AddrMapGet(&unknown_said, ArrivalKey(a, addr)) >= 0 ? V_LEFT_ALONE_SAID : V_LEFT_ALONE;
    const uint32_t serial = *kind == kAppKind ? ReadSerial(a.data, name_len) : 0;
    return FleetJudge(addr, a.from, *kind, serial, a.data + kNameOffset, NameFieldLength(a.data));
}

void Sort(const Arrival& a, int busy) {
    uint32_t addr = 0;
    if (!ArrivalAddress(a, &addr)) {
        RingPut(&junk, a);
        return;
    }
    if (a.from == 0 || a.from == addr) FleetHeardFrom(addr, a.first_arrived_ms);
    if (a.conflict) (void)FleetConflict(addr, a.macs[0], a.macs[1], busy);
    int kind = 0;
    const uint64_t key = ArrivalKey(a, addr);
    switch (Judge(a, addr, &kind)) {
    case V_IN_PROGRESS:
        (void)LinePut(&in_progress, key, a);
        break;
    case V_NEW:
        (void)LinePut(&fresh, key, a);
        break;
    case V_LEFT_ALONE:
        (void)LinePut(&once, key, a);
        break;
    case V_LEFT_ALONE_SAID:
    case V_NOTHING_NEW:
        break;  // nothing more to trace or to do
    }
}

bool Next(Arrival* a, bool* is_junk) {
    *is_junk = false;
    if (LineTake(&in_progress, a) || LineTake(&fresh, a) || LineTake(&once, a)) return true;
    *is_junk = RingTake(&junk, a);
    return *is_junk;
}

}  // namespace

void IntakeDrain(int busy) {
    in_hand = false;  // the sequencer took it on its last poll
    Arrival a;
    while (FleetTakeQueued(&a)) Sort(a, busy);
}

bool IntakeHand(uint32_t* from, uint64_t* arrived_ms, uint64_t* first_ms) {
    Arrival a;
    bool is_junk = false;
    while (Next(&a, &is_junk)) {
        if (!is_junk) {
            uint32_t addr = 0;
            (void)ArrivalAddress(a, &addr);
            // A newer one of this machine waits; or the run moved on since.
            if (LineHas(&in_progress, ArrivalKey(a, addr))) continue;
            int kind = 0;
            const Verdict v = Judge(a, addr, &kind);
            if (v == V_LEFT_ALONE_SAID || v == V_NOTHING_NEW) continue;
            if (kind == -1) (void)AddrMapPut(&unknown_said, ArrivalKey(a, addr), 1);
            in_hand = true;
            in_hand_chosen = v == V_IN_PROGRESS || v == V_NEW;
            in_hand_addr = addr;
        }
        memcpy(udpDataBuff, a.data, BUF_SIZE);
        *from = a.from;
        *arrived_ms = a.arrived_ms;
        *first_ms = a.first_arrived_ms;
        UDPrecvedlength.store(a.len, std::memory_order_release);
        return true;
    }
    return false;
}

bool IntakeWaiting(uint32_t addr) {
    const uint64_t own = AddrPair(addr, addr);  // what the machine sent itself
    return (in_hand && in_hand_chosen && in_hand_addr == addr) || LineHas(&in_progress, own) || LineHas(&fresh, own);
}

bool IntakeChosenWaiting(void) { return (in_hand && in_hand_chosen) || in_progress.count > 0 || fresh.count > 0; }

bool IntakeBusy(void) { return in_progress.count > 0 || fresh.count > 0 || once.count > 0; }
