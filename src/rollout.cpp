// The rollout's counts: how many of the canary have their result, whether
// all of them were updated, and how many machines failed.
#include "rollout.h"

namespace {

uint32_t canary_size = 0;
uint32_t failed_limit = 0;
uint32_t canary_final = 0;
uint32_t failed = 0;
bool stopped = false;

bool InCanary(int chosen) { return chosen >= 0 && static_cast<uint32_t>(chosen) < canary_size; }

}  // namespace

void RolloutStart(uint32_t canary, uint32_t max_failed) {
    canary_size = canary;
    failed_limit = max_failed;
    canary_final = failed = 0;
    stopped = false;
}

bool RolloutMayBegin(int chosen) {
    if (stopped) return false;
    // Every one of the canary updated: stopping would have ended this.
    return InCanary(chosen) || canary_final == canary_size;
}

bool RolloutFinal(int chosen, bool updated) {
    if (stopped) return false;
    if (InCanary(chosen)) ++canary_final;
    if (!updated) ++failed;
    stopped = (InCanary(chosen) && !updated) || (failed_limit != 0 && failed >= failed_limit);
    return stopped;
}

bool RolloutStopped(void) { return stopped; }
