// The machines a run has heard and chosen, and the machines its list
// expects. The table grows with the machines heard, without a limit; each
// machine is allocated on its own, so that a reference to it survives the
// table's growth. Main thread only.
#pragma once

#include <cstdint>

#include "report.h"

// WAITING: chosen, and not begun (a parallel run's jobs are busy, or the
// rollout holds it back). WORKING only in a parallel run's parent: in the
// hands of a worker process. RETRYING: failed, and to be tried again.
// SKIPPED: never begun (another model, or the rollout stopped).
enum Phase { RESETTING, UPDATING, CONFIRMING, UPDATED, FAILED, UNCONFIRMED, LISTED, WAITING, WORKING, RETRYING, SKIPPED };

struct Machine {
    Phase phase;
    int resets;
    uint64_t reset_ms, run_ms;
    uint64_t reset_sent_ms, transfer_started_ms;  // 0: not yet
    uint32_t blocks_acked;
    uint64_t retry_at_ms;
    int chosen;  // its number in the order machines were chosen, -1 for one listed or skipped
    MachineRecord rec;
};

inline bool IsFinal(Phase p) { return p == UPDATED || p == FAILED || p == UNCONFIRMED || p == LISTED || p == SKIPPED; }

// Empties the table; expecting: --all with machines the list expects.
void TableStart(bool expecting);
// A new machine, the newest at its address; -1 when no memory is left for
// it (it is then left alone).
int TableAdd(uint32_t addr, Phase phase, int kind, uint32_t serial, const char* name, int name_len);
// The newest machine heard at this address, or -1.
int TableFind(uint32_t addr);
Machine& TableMachine(int i);
int TableCount(void);
// The first machine that may still be in progress; those before it are final.
int TableFirstUnfinished(void);
void SetName(MachineRecord& r, const char* name, int len);

// The list's machines that this one is: heard, and done once final.
void TableAccount(const Machine& m);
// Every machine the list expects has its result.
bool TableNamedMachinesDone(void);
// The expected machine i was never heard.
bool TableNotHeard(int expected);
bool TableAnyNotHeard(void);
