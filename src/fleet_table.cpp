// The machine table: the machines heard, the address map to the newest of
// them, and what became of each machine the list expects.
#include "fleet_table.h"

#include <cstdlib>
#include <cstring>

#include "addrmap.h"
#include "machlist.h"
#include "mstate.h"
#include "platform.h"

namespace {

// What became of a machine the list expects.
enum Expected : uint8_t { NOT_HEARD, HEARD, DONE };

Machine** machines = nullptr;
int machine_count = 0;
int machine_slots = 0;
int first_unfinished = 0;      // no machine before it is in progress
AddrMap newest;                // address -> the newest machine heard there
Expected* expected = nullptr;  // per machine the list expects, in its order
int expected_done = 0;

void MarkExpected(int e, Expected state) {
    if (e < 0 || expected[e] >= state) return;
    if (state == DONE) ++expected_done;
    expected[e] = state;
}

}  // namespace

void TableStart(bool expecting) {
    const int count = MachineListExpectedCount();
    if (expecting && count > 0) expected = static_cast<Expected*>(calloc(static_cast<size_t>(count), sizeof *expected));
}

void TableAccount(const Machine& m) {
    if (expected == nullptr) return;
    const Expected state = IsFinal(m.phase) ? DONE : HEARD;
    MarkExpected(MachineListExpectedIndexOfAddress(m.rec.addr), state);
    if (m.rec.has_serial) MarkExpected(MachineListExpectedIndexOfSerial(m.rec.serial), state);
}

void SetName(MachineRecord& r, const char* name, int len) {
    if (len > kRecordNameBytes) len = kRecordNameBytes;
    memcpy(r.name, name, static_cast<size_t>(len));
    r.name_len = len;
}

int TableAdd(uint32_t addr, Phase phase, int kind, uint32_t serial, const char* name, int name_len) {
    if (machine_count == machine_slots) {
        const int slots = machine_slots == 0 ? 64 : 2 * machine_slots;
        Machine** grown = static_cast<Machine**>(realloc(machines, static_cast<size_t>(slots) * sizeof *machines));
        if (grown == nullptr) return -1;
        machines = grown;
        machine_slots = slots;
    }
    Machine* m = static_cast<Machine*>(malloc(sizeof(Machine)));
    if (m == nullptr || !AddrMapPut(&newest, addr, machine_count)) {
        free(m);
        return -1;
    }
    *m = Machine{};
    m->phase = phase;
    m->rec.addr = addr;
    m->rec.has_serial = kind == kAppKind;
    m->rec.serial = kind == kAppKind ? serial : 0;
    m->rec.started_utc_ms = plat_utc_ms();
    SetName(m->rec, name, name_len);
    machines[machine_count] = m;
    TableAccount(*m);
    return machine_count++;
}

int TableFind(uint32_t addr) { return AddrMapGet(&newest, addr); }

Machine& TableMachine(int i) { return *machines[i]; }

int TableCount(void) { return machine_count; }

int TableFirstUnfinished(void) {
    while (first_unfinished < machine_count && IsFinal(machines[first_unfinished]->phase)) ++first_unfinished;
    return first_unfinished;
}

bool TableNamedMachinesDone(void) {
    const int count = MachineListExpectedCount();
    return count > 0 && expected_done == count;
}

bool TableNotHeard(int e) { return expected != nullptr && expected[e] == NOT_HEARD; }

bool TableAnyNotHeard(void) {
    for (int e = 0; expected != nullptr && e < MachineListExpectedCount(); ++e)
        if (expected[e] == NOT_HEARD) return true;
    return false;
}
