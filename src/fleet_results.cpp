// Result lines, missing machines and the exit status of a run with options.
#include "fleet_results.h"

#include <cinttypes>
#include <cstdio>

#include "fleet_rules.h"
#include "fleet_table.h"
#include "machlist.h"
#include "platform.h"
#include "report.h"
#include "text.h"

void FleetReport(const char* version, bool line_open) {
    // The trace's last line has no newline of its own; a console event's
    // line may have been followed by more trace (a transfer runs to its end).
    if (line_open) putchar('\n');
    const uint64_t now = plat_now_ms();
    const bool exploring = FleetExploring();
    int counts[kReportCounts] = {0, 0, 0, 0, 0};
    char text[16];
    for (int i = 0; i < TableCount(); ++i) {
        Machine& m = TableMachine(i);
        if (m.phase == LISTED) {
            ++counts[0];
            continue;
        }
        // Still in progress: the run was stopped. No new try begins.
        if (m.phase == RETRYING) FleetFinish(m, FAILED, now, m.rec.last_failure, false);
        if (!IsFinal(m.phase)) FleetFinish(m, m.phase == CONFIRMING ? UNCONFIRMED : FAILED, now, REASON_STOPPED, false);
        ++counts[m.rec.result];
        if (exploring || m.phase == SKIPPED) continue;
        printf("result: %s %s\n", DottedQuad(m.rec.addr, text), ResultText(m.rec.result));
    }
    // Never begun (another model, or the rollout stopped), after the others.
    for (int i = 0; i < TableCount(); ++i)
        if (TableMachine(i).phase == SKIPPED) printf("result: %s skipped\n", DottedQuad(TableMachine(i).rec.addr, text));
    // Named and never heard, in the order named, after the others.
    for (int e = 0; e < MachineListExpectedCount(); ++e) {
        if (!TableNotHeard(e)) continue;
        ++counts[RESULT_MISSING];
        const ExpectedMachine x = MachineListExpected(e);
        MachineRecord r;
        r.addr_known = !x.is_serial;
        r.addr = x.is_serial ? 0 : x.value;
        r.has_serial = x.is_serial;
        r.serial = x.is_serial ? x.value : 0;
        r.result = RESULT_MISSING;
        r.reason = REASON_NOT_HEARD;
        r.tries = 0;
        r.started_utc_ms = r.finished_utc_ms = 0;
        ReportMachine(r);
        if (x.is_serial) {
            printf("result: serial %" PRIu32 " not heard\n", x.value);
        } else {
            printf("result: %s not heard\n", DottedQuad(x.value, text));
        }
    }
    ReportSummary(counts, exploring, FleetExitStatus(), FleetStartedUtcMs(), plat_utc_ms(), version);
}

int FleetExitStatus(void) {
    if (TableCount() == 0) return 4;  // no chosen machine was heard
    if (TableAnyNotHeard()) return 3;
    for (int i = 0; i < TableCount(); ++i) {
        const Phase phase = TableMachine(i).phase;
        // Exploring, a named machine of another model is what a run would skip.
        if (phase == SKIPPED || (!FleetExploring() && phase != UPDATED)) return 3;
    }
    return 0;
}
