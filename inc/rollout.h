// A rollout that stops by itself (--canary, --max-failed): a bad image
// reaches a first wave, or a limit of failures, not the whole fleet.
// Machines are numbered in the order they were chosen, from 0.
#pragma once

#include <cstdint>

// canary: the first machines chosen that go first (0: none); max_failed:
// final failures that stop the rollout (0: no limit).
void RolloutStart(uint32_t canary, uint32_t max_failed);
// Whether the machine chosen as number `chosen` may begin (its first try or
// another): the canary goes first, and no one begins once stopped.
bool RolloutMayBegin(int chosen);
// Its final result; true when this result stopped the rollout.
bool RolloutFinal(int chosen, bool updated);
bool RolloutStopped(void);
