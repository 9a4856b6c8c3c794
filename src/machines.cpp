// The machine table: the machines heard, the address map to the newest of
// them, and what became of each machine the list expects.
#include "machines.h"

#include <cstdlib>
#include <cstring>

#include "addrmap.h"
#include "grow.h"
#include "hooks.h"
#include "machlist.h"
#include "platform.h"

namespace {

// What became of a machine the list expects.
enum Expected : uint8_t { NOT_HEARD, HEARD, DONE };

Array<Machine*> machines;
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
    for (size_t i = 0; i < machines.count; ++i) {
        free(machines[i]->pending);
        free(machines[i]);
    }
    Release(machines);
    AddrMapFree(&newest);
    free(expected);
    expected = nullptr;
    first_unfinished = expected_done = 0;
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

int TableAdd(const Announcement& an, Phase phase) {
    const int i = static_cast<int>(machines.count);
    if (!Reserve(machines, machines.count + 1)) return -1;
    Machine* m = static_cast<Machine*>(malloc(sizeof(Machine)));
    if (m == nullptr || !AddrMapPut(&newest, an.addr, i)) {
        free(m);
        return -1;
    }
    *m = Machine{};
    m->phase = phase;
    m->halt = REASON_NONE;
    m->rec.addr = an.addr;
    m->rec.has_serial = an.kind == kAppKind;
    m->rec.serial = an.serial;
    m->rec.started_utc_ms = plat_utc_ms();
    SetName(m->rec, an.name, an.name_len);
    (void)Push(machines, m);
    TableAccount(*m);
    return i;
}

int TableFind(uint32_t addr) { return AddrMapGet(&newest, addr); }

Machine& TableMachine(int i) { return *machines[static_cast<size_t>(i)]; }

int TableCount(void) { return static_cast<int>(machines.count); }

int TableFirstUnfinished(void) {
    while (first_unfinished < TableCount() && IsFinal(machines[static_cast<size_t>(first_unfinished)]->phase))
        ++first_unfinished;
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

const char* StepName(Step step) {
    switch (step) {
    case STEP_RESTARTING:
        return "restarting";
    case STEP_BOOT_LOADER:
        return "connecting";
    case STEP_UNLOCKING:
        return "unlocking";
    case STEP_REQUESTING:
        return "requesting";
    case STEP_TRANSFER:
        return "transfer";
    case STEP_STARTING:
        return "starting";
    case STEP_CONFIRMING:
        return "confirming";
    case STEP_FAILED:
        return "failed";
    case STEP_NONE:
    case STEP_RESETTING:
        break;
    }
    return "resetting";
}
