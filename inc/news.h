// What a run with options went through, as the rules tell it: one record
// per thing that happened, for whoever keeps or shows it (the console, the
// report). The rules print and write nothing themselves; a module that
// wants their news watches, once at start-up.
#pragma once

#include <cstdint>

#include "announce.h"
#include "model.h"
#include "report.h"

enum NewsKind {
    NEWS_LEFT_ALONE,         // not chosen (why: refusal), said once; an, from
    NEWS_LISTED,             // exploring: a machine heard; an
    NEWS_CHOSEN,             // a machine chosen and waiting to begin; an
    NEWS_CHOSEN_AND_DONE,    // chosen, and final at once (skipped, or failed by a conflict); an
    NEWS_BEGAN,              // a try begins (its first, or another); an: what it begins on
    NEWS_TRYING_AGAIN,       // tries: this one; of: the most
    NEWS_RESET_SENT,
    NEWS_BOOT_LOADER_HEARD,
    NEWS_TRANSFER_STARTED,   // bytes, blocks
    NEWS_PROGRESS,           // percent (a tenth passed), blocks done, blocks
    NEWS_BLOCK_ACKED,        // blocks done, blocks: every data block acknowledged
    NEWS_TRANSFER_DONE,      // ms, resent
    NEWS_TRANSFER_FAILED,    // step (TransferNews), block, answer (-1: none)
    NEWS_RUN_SENT,
    NEWS_CONFIRMED,          // ms after the run command
    NEWS_UNCONFIRMED,        // seconds waited
    NEWS_NO_CONNECTION,      // seconds waited
    NEWS_BOOT_NOT_HEARD,     // seconds waited
    NEWS_CONFLICT,           // addr; macs
    NEWS_ROLLOUT_STOPPED,    // machine: the one whose result stopped it
    NEWS_WAITING,            // text: what the run waits for, and how long
    NEWS_FINISHED,           // a machine has its result: rec (also one named and never heard)
};

// Why a machine is left alone.
// ALREADY_UPDATED: chosen, and it already has this image (its record is
// skipped); text: when it was updated.
enum Refusal { TAKEN, NOT_LISTED, OTHER_MODEL, SENT_FROM_ELSEWHERE, NOT_THE_ONE, ALREADY_UPDATED };

struct News {
    NewsKind kind;
    int machine;  // its index in the table, -1 for none
    uint32_t addr;
    uint32_t from;                  // NEWS_LEFT_ALONE: the sender
    Refusal refusal;                // NEWS_LEFT_ALONE
    Model model;                    // NEWS_LEFT_ALONE
    const Announcement* an;         // what the machine announced, when it did
    const MachineRecord* rec;       // NEWS_FINISHED, NEWS_CHOSEN_AND_DONE, NEWS_ROLLOUT_STOPPED
    const uint8_t* macs[2];         // NEWS_CONFLICT
    const char* text;               // NEWS_WAITING; NEWS_LEFT_ALONE when ALREADY_UPDATED
    int64_t values[3];
};

typedef void (*NewsWatcher)(const News& n);
// Up to eight watchers, each told every record in the order they were added.
void NewsWatch(NewsWatcher watcher);
void NewsTell(const News& n);
// No watchers (tests).
void NewsClear(void);
