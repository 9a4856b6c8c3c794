// The run's news as lines: in the trace, or as a parallel run's events.
#include "console.h"

#include <cinttypes>
#include <cstdio>

#include "conflict.h"
#include "display.h"
#include "hooks.h"
#include "machlist.h"
#include "news.h"
#include "outcome.h"
#include "rules.h"
#include "text.h"

namespace {

constexpr int kStepAttempts = 10;  // the YMODEM sender's tries of one step

// "Tavix7 No: 1001", or a boot loader's name: for an event line.
void Describe(const Announcement& an, char* out, int cap) {
    char printable[BUF_SIZE];
    DisplayPrintable(an.name, an.name_len, printable, sizeof printable);
    if (an.kind == kAppKind) {
        snprintf(out, static_cast<size_t>(cap), "%.64s No: %" PRIu32, printable, an.serial);
    } else {
        snprintf(out, static_cast<size_t>(cap), "%.64s (boot loader)", printable);
    }
}

const char* StepText(int news) {
    switch (news) {
    case TN_FAILED_BLOCK0:
        return "block 0";
    case TN_FAILED_EOT:
        return "end of file";
    case TN_FAILED_CLOSING:
        return "closing block";
    default:
        return "data block";
    }
}

// "data block 10 not acknowledged in 10 tries (last answer: 0x15)", or
// why there was none.
void FailedText(const News& n, char* out, size_t cap) {
    const int64_t* v = n.values;
    char step[32], last[16];
    if (v[0] == TN_FAILED_DATA) {
        snprintf(step, sizeof step, "data block %u", static_cast<unsigned>(v[1]));
    } else {
        snprintf(step, sizeof step, "%s", StepText(static_cast<int>(v[0])));
    }
    if (v[2] == kAnswerClosed) {
        snprintf(out, cap, "the machine closed the connection at %s", step);
    } else if (v[2] == kAnswerAbandoned) {
        snprintf(out, cap, "abandoned at %s", step);
    } else {
        snprintf(last, sizeof last, v[2] < 0 ? "none" : "0x%02X", static_cast<unsigned>(v[2]));
        if (v[0] == TN_FAILED_DATA) {
            snprintf(out, cap, "%s not acknowledged in %d tries (last answer: %s)", step, kStepAttempts, last);
        } else {
            snprintf(out, cap, "%s not acknowledged (last answer: %s)", step, last);
        }
    }
}

// The lines both consoles print alike, behind the trace's newline or as
// lines of their own; false for news that has none.
bool CommonLine(const News& n, char* line, size_t cap) {
    char address[16], a[18], b[18], why[96];
    DottedQuad(n.addr, address);
    switch (n.kind) {
    case NEWS_TRANSFER_FAILED:
        FailedText(n, why, sizeof why);
        snprintf(line, cap, "%s: transfer failed: %s", address, why);
        return true;
    case NEWS_TRYING_AGAIN:
        // "trying again (2 of 3) after: transfer failed"
        snprintf(line, cap, "%s: trying again (%d of %d) after: %s", address, static_cast<int>(n.values[0]),
                 static_cast<int>(n.values[1]), ReasonText(n.rec->last_failure));
        return true;
    case NEWS_CONFLICT:
        snprintf(line, cap, "%s: address conflict: %s and %s", address, MacText(n.macs[0], a), MacText(n.macs[1], b));
        return true;
    case NEWS_ROLLOUT_STOPPED:
        snprintf(line, cap, "rollout stopped: %s %s (%s)", address, ResultText(n.rec->result), ReasonText(n.rec->reason));
        return true;
    case NEWS_WAITING:
        snprintf(line, cap, "%s", n.text);
        return true;
    default:
        return false;
    }
}

void Trace(const News& n) {
    char line[256], address[16], sender[16];
    if (CommonLine(n, line, sizeof line)) {
        printf("\n%s", line);
        return;
    }
    DottedQuad(n.addr, address);
    if (n.kind == NEWS_LEFT_ALONE) {
        if (n.refusal == SENT_FROM_ELSEWHERE) {
            printf("\nleft alone: %s, sent from %s", address, DottedQuad(n.from, sender));
        } else if (n.refusal == OTHER_MODEL) {
            printf("\nleft alone: %s (model %s)", address, ModelText(n.model));
        } else if (n.refusal == ALREADY_UPDATED) {
            printf("\nleft alone: %s (already has this image, updated %s)", address, n.text);
        } else {
            printf("\nleft alone: %s", address);
        }
    } else if (n.kind == NEWS_LISTED && RunOptions().all) {
        printf("\nmachine: %s %.*s", address, n.an->name_len, n.an->name);
        if (n.an->kind == kAppKind) printf(" No: %" PRIu32, n.an->serial);
    }
}

void Event(const News& n) {
    char line[256], about[128], sender[16];
    if (CommonLine(n, line, sizeof line)) {
        DisplayLine(line);
        return;
    }
    const uint32_t addr = n.addr;
    const int64_t* v = n.values;
    switch (n.kind) {
    case NEWS_LEFT_ALONE:
        if (n.refusal == SENT_FROM_ELSEWHERE) {
            DisplayEvent(addr, "left alone, sent from %s", DottedQuad(n.from, sender));
            return;
        }
        Describe(*n.an, about, sizeof about);
        if (n.refusal == ALREADY_UPDATED) {
            DisplayEvent(addr, "left alone (already has this image, updated %s), %s", n.text, about);
        } else if (n.refusal == OTHER_MODEL) {
            DisplayEvent(addr, "left alone (model %s), %s", ModelText(n.model), about);
        } else {
            DisplayEvent(addr, "left alone, %s", about);
        }
        return;
    case NEWS_CHOSEN:
        Describe(*n.an, about, sizeof about);
        DisplayEvent(addr, "chosen, %s", about);
        return;
    case NEWS_CHOSEN_AND_DONE:
        Describe(*n.an, about, sizeof about);
        DisplayEvent(addr, "%s (%s), %s", ResultText(n.rec->result), ReasonText(n.rec->reason), about);
        return;
    case NEWS_RESET_SENT:
        DisplayEvent(addr, "reset sent");
        return;
    case NEWS_BOOT_LOADER_HEARD:
        DisplayEvent(addr, "boot loader heard");
        return;
    case NEWS_TRANSFER_STARTED:
        DisplayEvent(addr, "transfer started, %lld bytes in %u blocks", static_cast<long long>(v[0]),
                     static_cast<unsigned>(v[1]));
        return;
    case NEWS_PROGRESS:
        DisplayEvent(addr, "%u%% (%u of %u blocks)", static_cast<unsigned>(v[0]), static_cast<unsigned>(v[1]),
                     static_cast<unsigned>(v[2]));
        return;
    case NEWS_TRANSFER_DONE:
        DisplayEvent(addr, "transfer done in %.1f s, %u blocks sent again", static_cast<double>(v[0]) / 1000.0,
                     static_cast<unsigned>(v[1]));
        return;
    case NEWS_RUN_SENT:
        DisplayEvent(addr, "run command sent");
        return;
    case NEWS_CONFIRMED:
        DisplayEvent(addr, "confirmed, application heard %.1f s after the run command", static_cast<double>(v[0]) / 1000.0);
        return;
    case NEWS_UNCONFIRMED:
        DisplayEvent(addr, "not confirmed, application not heard within %u s", static_cast<unsigned>(v[0]));
        return;
    case NEWS_NO_CONNECTION:
        DisplayEvent(addr, "no connection for %u s, given up", static_cast<unsigned>(v[0]));
        return;
    case NEWS_BOOT_NOT_HEARD:
        DisplayEvent(addr, "boot loader not heard within %u s of the reset", static_cast<unsigned>(v[0]));
        return;
    default:
        return;
    }
}

}  // namespace

void ConsoleStart(bool events) { NewsWatch(events ? Event : Trace); }

void ConsoleStoppingText(int transfers, char* out, size_t cap) {
    snprintf(out, cap, "stopping: %d transfer%s under way finish%s first; Ctrl-C again abandons %s", transfers,
             transfers == 1 ? "" : "s", transfers == 1 ? "es" : "", transfers == 1 ? "it" : "them");
}

void ConsoleResults(bool line_open) {
    // The trace's last line has no newline of its own; a console event's
    // line may have been followed by more trace (a transfer runs to its end).
    if (line_open) putchar('\n');
    char text[16];
    const bool exploring = RunExploring();
    for (int i = 0; i < TableCount(); ++i) {
        const Machine& m = TableMachine(i);
        if (m.phase == LISTED || m.phase == SKIPPED || exploring) continue;
        printf("result: %s %s\n", DottedQuad(m.rec.addr, text), ResultText(m.rec.result));
    }
    // Not updated and untouched, after the others: another model, a
    // rollout or a run that stopped (that may have left it in its boot
    // loader, which the next run updates).
    for (int i = 0; i < TableCount(); ++i) {
        const Machine& m = TableMachine(i);
        if (m.phase != SKIPPED) continue;
        printf("result: %s skipped%s\n", DottedQuad(m.rec.addr, text),
               m.rec.reason == REASON_STOPPED_IN_BOOT_LOADER ? " (it waits in its boot loader; a rerun updates it)" : "");
    }
    // Named and never heard, in the order named, after the others.
    for (int e = 0; e < MachineListExpectedCount(); ++e) {
        if (!TableNotHeard(e)) continue;
        const ExpectedMachine x = MachineListExpected(e);
        if (x.is_serial) {
            printf("result: serial %" PRIu32 " not heard\n", x.value);
        } else {
            printf("result: %s not heard\n", DottedQuad(x.value, text));
        }
    }
}
