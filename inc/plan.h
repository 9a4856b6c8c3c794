// --plan: what a run with these options would do, before it does anything.
// It listens for --timeout seconds (else kPlanListenS), connects to no
// machine, judges every announcement by the run's own rules, then says,
// one line per machine heard or named, whether the run would update it
// (and in which wave, with --canary), leave it alone and why, skip it, or
// not find it. uuu's -dry and other rollout tools' dry runs show the wish
// the same way.
#pragma once

#include <cstdint>

constexpr uint32_t kPlanListenS = 3;

// Instead of the sequencer, before any thread starts.
void PlanStart(void);
// After the listening: the plan's lines and its summary on the console,
// and its records in the report; the exit status the run would have.
int PlanEnd(const char* version);
