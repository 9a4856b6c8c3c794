// The machines a run has heard and chosen, and the machines its list
// expects. The table grows with the machines heard, without a limit; each
// machine is allocated on its own, so that a reference to it survives the
// table's growth. Main thread only.
#pragma once

#include <cstdint>

#include "announce.h"
#include "arrival.h"
#include "report.h"

// WAITING: chosen, and not begun (the jobs are busy, it is listened to,
// or the rollout holds it back). RETRYING: failed, and to be tried again.
// SKIPPED: never begun (another model, or the rollout stopped).
enum Phase { RESETTING, UPDATING, CONFIRMING, UPDATED, FAILED, UNCONFIRMED, LISTED, WAITING, RETRYING, SKIPPED };

// Where a try stands, for whoever shows it. In the boot loader before the
// transfer: connecting, '4' sent (unlocking), '1' sent (requesting).
enum Step {
    STEP_NONE,
    STEP_RESETTING,
    STEP_RESTARTING,
    STEP_BOOT_LOADER,
    STEP_UNLOCKING,
    STEP_REQUESTING,
    STEP_TRANSFER,
    STEP_STARTING,
    STEP_CONFIRMING,
    STEP_FAILED
};
// The step as the live block and the page name it ("connecting",
// "unlocking", "transfer" ...); "resetting" for none yet.
const char* StepName(Step step);
inline bool BeforeTransfer(Step s) { return s == STEP_BOOT_LOADER || s == STEP_UNLOCKING || s == STEP_REQUESTING; }

struct Machine {
    Phase phase;
    Step step;
    int resets;
    uint64_t reset_ms, run_ms;
    uint64_t reset_sent_ms, transfer_started_ms;  // 0: not yet
    uint32_t blocks_acked;
    uint32_t tenths;  // of the transfer said so far
    uint64_t retry_at_ms;
    int chosen;  // its number in the order machines were chosen, -1 for one listed or skipped
    // An executor is on a path to it: a connection is open, or about to be.
    bool on_path;
    bool connected;
    uint64_t path_from_ms;  // when that path began, for the connect's time limit
    uint64_t step_ms;       // when its step began, or the machine last answered in it
    RecordReason halt;      // its path must end, and why; REASON_NONE: it need not
    Arrival* pending;       // its newest datagram, waiting to be looked at
    uint64_t pending_seq;   // when that began to wait, in the order of all that did
    MachineRecord rec;
};

inline bool IsFinal(Phase p) { return p == UPDATED || p == FAILED || p == UNCONFIRMED || p == LISTED || p == SKIPPED; }
// In a try: begun, and neither final nor waiting for another try.
inline bool InTry(Phase p) { return p == RESETTING || p == UPDATING || p == CONFIRMING; }

// Empties the table; expecting: --all with machines the list expects.
void TableStart(bool expecting);
// A new machine, the newest at its address; -1 when no memory is left for
// it (it is then left alone).
int TableAdd(const Announcement& an, Phase phase);
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
