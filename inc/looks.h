// Which announcements a run with options takes, and what it leaves alone,
// each said once: the rules' own eyes, not for the layers above them.
#pragma once

#include <cstdint>

#include "announce.h"
#include "machines.h"
#include "news.h"
#include "rules.h"

struct Look {
    int i;  // the machine in the table, or -1 (a new one)
    Refusal refusal;
    Model model;
};

// What the run has said of a key, once each: that its machine is left
// alone, or that a name we do not know was traced.
enum Said : int { SAID_LEFT_ALONE = 1, SAID_UNKNOWN_NAME = 2 };

void LooksStart(void);
bool WasSaid(uint64_t key, Said what);
void MarkSaid(uint64_t key, Said what);
bool ConflictAt(uint32_t addr);
// True when the address was not yet known to be in conflict.
bool ConflictMark(uint32_t addr);
bool Expected(const Announcement& an);
bool OtherBoard(const Machine& m, const Announcement& an);
Look LookAt(const Announcement& an, uint32_t from);
// Whose left-alone line a look is: the machine's, or a sender's about it.
uint64_t SaidKey(const Look& l, uint32_t addr, uint32_t from);
void SayLeftAlone(const Look& l, const Announcement& an, uint32_t from);
