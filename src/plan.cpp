// --plan: the run's rules, fed what the network says, acting on nothing.
#include "plan.h"

#include <cinttypes>
#include <cstdio>

#include "hooks.h"
#include "listen.h"
#include "machlist.h"
#include "outcome.h"
#include "platform.h"
#include "report.h"
#include "rules.h"
#include "text.h"

namespace {

constexpr uint32_t kPollMs = 20;

uint64_t ends_ms = 0;

// Judges everything that arrived, with no executor to begin anything.
uint32_t PollPlan(int) {
    Arrival a;
    while (ListenTake(&a)) RulesHeard(a);
    Taken t;
    int machine = -1;
    while (RulesTake(false, &t)) (void)RulesChoose(t, &machine);
    RulesTick();
    return kPollMs;
}

bool RunEnds(bool stop_asked) { return stop_asked || plat_now_ms() >= ends_ms; }

// "Tavix7 No: 1011", or a boot loader's name.
void Describe(const MachineRecord& r, char* out, size_t cap) {
    if (r.has_serial) {
        snprintf(out, cap, ", %.32s No: %" PRIu32, r.name, r.serial);
    } else {
        snprintf(out, cap, ", %.*s", r.name_len < 32 ? r.name_len : 32, r.name);
    }
}

const char* LeftAloneWhy(const LeftAlone& l, char* out, size_t cap) {
    char sender[16];
    switch (l.refusal) {
    case OTHER_MODEL:
        snprintf(out, cap, "model %s", l.model == MODEL_NONE ? "unknown" : ModelText(l.model));
        break;
    case SENT_FROM_ELSEWHERE:
        snprintf(out, cap, "sent from %s", DottedQuad(l.from, sender));
        break;
    case NOT_THE_ONE:
        snprintf(out, cap, "without --all only the first chosen machine is updated");
        break;
    default:
        snprintf(out, cap, "not named");
        break;
    }
    return out;
}

}  // namespace

void PlanStart(void) {
    const LanflashOptions& opts = RunOptions();
    ends_ms = plat_now_ms() + static_cast<uint64_t>(opts.timeout_s ? opts.timeout_s : kPlanListenS) * 1000;
    hooks.poll_instead = PollPlan;
    hooks.run_ends = RunEnds;
}

int PlanEnd(const char* version) {
    const LanflashOptions& opts = RunOptions();
    char address[16], about[64], why[96];
    int update = 0, left = 0, skip = 0, missing = 0;
    bool fails = false;  // a machine the run would fail or skip
    for (int i = 0; i < RulesMachineCount(); ++i) {
        const Machine& m = RulesMachine(i);
        const MachineRecord& r = m.rec;
        Describe(r, about, sizeof about);
        DottedQuad(r.addr, address);
        PlanRecord p{r.addr, true, r.name, r.name_len, r.has_serial, r.serial, nullptr, nullptr, 0};
        if (m.phase == LISTED) {
            printf("plan: %s list%s\n", address, about);
            p.plan = "list";
        } else if (m.phase == WAITING) {
            const bool canary = opts.canary != 0;
            const int wave = canary && static_cast<uint32_t>(m.chosen) >= opts.canary ? 2 : 1;
            printf("plan: %s update%s%s\n", address, canary ? (wave == 1 ? " (wave 1, the canary)" : " (wave 2)") : "",
                   about);
            p.plan = "update";
            p.wave = canary ? wave : 0;
            ++update;
        } else if (m.phase == SKIPPED) {
            printf("plan: %s skip (%s)%s\n", address, ReasonText(r.reason), about);
            p.plan = "skip";
            p.reason = ReasonText(r.reason);
            fails = fails || r.reason != REASON_ALREADY_UPDATED;
            ++skip;
        } else {
            printf("plan: %s leave alone (%s)%s\n", address, ReasonText(r.reason), about);
            p.plan = "leave alone";
            p.reason = ReasonText(r.reason);
            fails = true;  // an address in conflict: its machine fails
            ++left;
        }
        ReportPlan(p);
    }
    for (int i = 0; i < RulesLeftAloneCount(); ++i) {
        const LeftAlone& l = RulesLeftAlone(i);
        bool again = TableFind(l.addr) >= 0;
        for (int j = 0; j < i && !again; ++j) again = RulesLeftAlone(j).addr == l.addr;
        if (again) continue;
        printf("plan: %s leave alone (%s)\n", DottedQuad(l.addr, address), LeftAloneWhy(l, why, sizeof why));
        ReportPlan(PlanRecord{l.addr, true, nullptr, 0, false, 0, "leave alone", why, 0});
        ++left;
    }
    for (int e = 0; e < MachineListExpectedCount(); ++e) {
        if (!RunNotHeard(e)) continue;
        const ExpectedMachine x = MachineListExpected(e);
        if (x.is_serial) {
            printf("plan: serial %" PRIu32 " not heard\n", x.value);
        } else {
            printf("plan: %s not heard\n", DottedQuad(x.value, address));
        }
        ReportPlan(PlanRecord{x.is_serial ? 0 : x.value, !x.is_serial, nullptr, 0, x.is_serial, x.is_serial ? x.value : 0,
                              "not heard", nullptr, 0});
        ++missing;
    }
    // The status the run would end with for what was heard and not.
    const int status = RulesMachineCount() == 0 ? 4 : missing > 0 || fails ? 3 : 0;
    printf("summary: %d to update, %d to leave alone, %d to skip, %d not heard\n", update, left, skip, missing);
    const int counts[] = {update, left, skip, missing};
    ReportPlanSummary(counts, status, RunStartedUtcMs(), plat_utc_ms(), version);
    return status;
}
