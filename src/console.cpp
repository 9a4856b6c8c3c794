// The run's news as lines: in the trace, or as a parallel run's events.
#include "console.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "conflict.h"
#include "display.h"
#include "hooks.h"
#include "machlist.h"
#include "news.h"
#include "outcome.h"
#include "report.h"
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

// With an image and no --model, the first machine about to be updated
// says which model it is: nothing else keeps the image to one.
bool NoModelLine(const News& n, char* line, size_t cap) {
    static bool said = false;
    if (n.kind != NEWS_BEGAN || said || RunExploring() || RunOptions().models != kAnyModel) return false;
    said = true;
    char address[16];
    const Model model = ModelOfName(n.an->name, n.an->name_len);
    snprintf(line, cap, "%s is a %s and is about to be updated; no --model was given (--model %s keeps the image to it)",
             DottedQuad(n.addr, address), model == MODEL_NONE ? "machine" : ModelText(model),
             model == MODEL_NONE ? "NAME" : ModelText(model));
    return true;
}

void Trace(const News& n) {
    char line[256], address[16], sender[16];
    if (CommonLine(n, line, sizeof line) || NoModelLine(n, line, sizeof line)) {
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
    if (CommonLine(n, line, sizeof line) || NoModelLine(n, line, sizeof line)) {
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

// What the summary calls a machine left alone, by why.
const char* LeftAloneLabel(const LeftAlone& l) {
    switch (l.refusal) {
    case OTHER_MODEL:
        return l.model == MODEL_T5S ? "model Tavix5S" : l.model == MODEL_T7 ? "model Tavix7" : "an unknown model";
    case NOT_LISTED:
        return "not named";
    case NOT_THE_ONE:
        return "another machine was the one";
    case SENT_FROM_ELSEWHERE:
        return "sent by another host";
    default:
        return "left alone";
    }
}

// Appends to a line of at most cap bytes, cutting at its end.
struct Text {
    char* out;
    size_t cap, len;
};

void Add(Text& t, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Add(Text& t, const char* format, ...) {
    if (t.len + 1 >= t.cap) return;
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(t.out + t.len, t.cap - t.len, format, args);
    va_end(args);
    if (n > 0) t.len = t.len + static_cast<size_t>(n) < t.cap ? t.len + static_cast<size_t>(n) : t.cap - 1;
}

// "4 left alone (3 model Tavix5S, 1 not named)": machines that are no
// record of the run's, each address once.
void AddLeftAlone(Text& t) {
    constexpr int kLabels = 8;
    const char* labels[kLabels];
    int counts[kLabels] = {}, kinds = 0, total = 0;
    for (int i = 0; i < RulesLeftAloneCount(); ++i) {
        const LeftAlone& l = RulesLeftAlone(i);
        if (TableFind(l.addr) >= 0) continue;  // a record of its own tells of it
        bool again = false;
        for (int j = 0; j < i && !again; ++j) again = RulesLeftAlone(j).addr == l.addr && TableFind(l.addr) < 0;
        if (again) continue;
        const char* label = LeftAloneLabel(l);
        int k = 0;
        while (k < kinds && strcmp(labels[k], label) != 0) ++k;
        if (k == kinds && kinds < kLabels) labels[kinds++] = label;
        if (k < kinds) ++counts[k];
        ++total;
    }
    if (total == 0) return;
    Add(t, "%s%d left alone (", t.len > 0 ? ", " : "", total);
    for (int k = 0; k < kinds; ++k) {
        if (kinds == 1) {
            Add(t, "%s", labels[k]);
        } else {
            Add(t, "%s%d %s", k > 0 ? ", " : "", counts[k], labels[k]);
        }
    }
    Add(t, ")");
}

// "; failed: 127.0.0.110 (transfer failed), ...": every machine not
// updated, by result, the first kMaxNamed of them by name.
void AddNotUpdated(Text& t) {
    constexpr int kMaxNamed = 10;
    static const RecordResult kOrder[] = {RESULT_FAILED, RESULT_UNCONFIRMED, RESULT_SKIPPED};
    char address[16];
    int named = 0, more = 0;
    for (RecordResult result : kOrder) {
        bool first = true;
        for (int i = 0; i < TableCount(); ++i) {
            const Machine& m = TableMachine(i);
            if (!IsFinal(m.phase) || m.phase == LISTED || m.rec.result != result) continue;
            if (m.rec.reason == REASON_ALREADY_UPDATED) continue;
            if (named == kMaxNamed) {
                ++more;
                continue;
            }
            if (first) {
                Add(t, "; %s: ", ResultText(result));
            } else {
                Add(t, ", ");
            }
            Add(t, "%s (%s)", DottedQuad(m.rec.addr, address), ReasonText(m.rec.reason));
            first = false;
            ++named;
        }
    }
    bool first = true;
    for (int e = 0; e < MachineListExpectedCount(); ++e) {
        if (!RunNotHeard(e)) continue;
        if (named == kMaxNamed) {
            ++more;
            continue;
        }
        const ExpectedMachine x = MachineListExpected(e);
        if (x.is_serial) {
            Add(t, "%sserial %u", first ? "; not heard: " : ", ", static_cast<unsigned>(x.value));
        } else {
            Add(t, "%s%s", first ? "; not heard: " : ", ", DottedQuad(x.value, address));
        }
        first = false;
        ++named;
    }
    if (more > 0) Add(t, "; and %d more%s", more, ReportOn() ? " (all in the report)" : "");
}

}  // namespace

void ConsoleStart(bool events) { NewsWatch(events ? Event : Trace); }

void ConsoleSummary(char* out, size_t cap) {
    Text t{out, cap, 0};
    out[0] = '\0';
    Add(t, "summary: ");
    const size_t head = t.len;
    int counts[kReportCounts];
    RunCounts(counts);
    const int status = RunExitStatus();
    if (RunExploring()) {
        Add(t, "%d listed", counts[0]);
    } else if (status == 4) {
        Add(t, "%s", MachineListGiven() ? "no machine the list chooses was heard" : "no chosen machine was heard");
    } else {
        static const RecordResult kOrder[] = {RESULT_UPDATED, RESULT_FAILED, RESULT_UNCONFIRMED, RESULT_SKIPPED,
                                              RESULT_MISSING};
        for (RecordResult r : kOrder)
            if (counts[r] > 0) Add(t, "%s%d %s", t.len > head ? ", " : "", counts[r], r == RESULT_MISSING ? "not heard" : ResultText(r));
    }
    AddLeftAlone(t);
    if (!RunExploring()) AddNotUpdated(t);
}

void ConsoleStoppingText(int transfers, char* out, size_t cap) {
    snprintf(out, cap, "stopping: %d transfer%s under way finish%s first; Ctrl-C again abandons %s", transfers,
             transfers == 1 ? "" : "s", transfers == 1 ? "es" : "", transfers == 1 ? "it" : "them");
}

void ConsoleResults(bool line_open) {
    // The trace's last line has no newline of its own; a console event's
    // line may have been followed by more trace (a transfer runs to its end).
    if (line_open) putchar('\n');
    char text[16];
    static char summary[1024];
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
        if (!RunNotHeard(e)) continue;
        const ExpectedMachine x = MachineListExpected(e);
        if (x.is_serial) {
            printf("result: serial %" PRIu32 " not heard\n", x.value);
        } else {
            printf("result: %s not heard\n", DottedQuad(x.value, text));
        }
    }
    ConsoleSummary(summary, sizeof summary);
    printf("%s\n", summary);
}
