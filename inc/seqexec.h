// The sequencer as an executor of a run with options: it fills the
// sequencer's and the main loop's slots (hooks.h), offers the sequencer one
// datagram at a time, lets the sequencer's parse trace it before it is
// judged, tells what the machine it acts on went through, and ends a path
// that is to end. Whoever drives it decides: the rules in this process, or
// a parallel run's parent through a worker's channel (worker.h).
#pragma once

#include "report.h"
#include "rules.h"

struct SeqDriver {
    void (*drain)(void);                        // takes in what arrived
    bool (*take)(bool may_start, Taken* t);     // the next datagram to offer
    int (*choose)(const Taken& t, int* machine);  // what to do with it, once parsed
    void (*event)(int machine, const ExecEvent& e);
    void (*tick)(void);
    RecordReason (*halt)(int machine);  // the path to it must end, and why
    bool (*busy)(void);                 // a datagram waits: look at once
    bool (*goes_on)(void);              // after a download: back to announcements
    bool (*finished)(void);             // the run ends by itself
    // Any thread: the transfer under way is to be abandoned.
    bool (*abandoned)(void);
    // Machines a stopped run still waits for, to hear them confirm (null:
    // none, as in a worker, whose parent confirms).
    bool (*awaits)(void);
};

// After the driver's start, before any thread starts.
void SeqExecStart(const SeqDriver& driver);
// The driver of a run in this process: the rules, fed by the listener,
// and stopped by the console (the first Ctrl-C lets a transfer under way
// finish, the second abandons it).
SeqDriver SeqExecRules(void);
