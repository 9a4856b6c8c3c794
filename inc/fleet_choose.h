// Which announcements a run with options acts on. A machine is chosen when
// the list names it (or there is no list), it is of a model the run is for,
// and it sent its announcement itself; without --all only the first chosen
// machine is. An address in conflict gets no new connection.
#pragma once

#include <cstdint>

// What FleetChoose would make of an announcement, judged as it arrives,
// without acting on it: a machine in progress, a new one to choose, one to
// leave alone (and whether the trace said so already), or one done.
enum Verdict { V_IN_PROGRESS, V_NEW, V_LEFT_ALONE, V_LEFT_ALONE_SAID, V_NOTHING_NEW };
// from: the address the announcement came from, 0 when not known.
Verdict FleetJudge(uint32_t addr, uint32_t from, int kind, uint32_t serial, const char* name, int name_len);

// The sequencer's side. After a parse in M_WAIT_FOR_UDP_DATA of the
// announcement in udpDataBuff, sent from `from`, which arrived at
// arrived_ms (the first that said the same at first_arrived_ms): the
// parser's result to act on, or -1 to leave it alone. For 1 and 2,
// *machine is the machine the sequencer now acts on.
int FleetChoose(int retv, uint32_t from, uint64_t arrived_ms, uint64_t first_arrived_ms, int* machine);

// A parallel run's parent, for every announcement a machine sent itself:
// the table index of the machine announcing this address when it is
// chosen (added as waiting when new, or swapped in at a done address), else
// -1; *how says which.
enum Heard { HEARD_KNOWN, HEARD_ADDED, HEARD_NOT_LISTED, HEARD_OTHER_MODEL, HEARD_SKIPPED };
int FleetHeard(uint32_t addr, int kind, uint32_t serial, const char* name, int name_len, Heard* how);
