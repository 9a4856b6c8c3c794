// --report FILE: JSON Lines for programs that read a run's outcome. Each
// line is built whole in a buffer on the stack and goes out in one append,
// so a killed run keeps every line written and two runs never mix in one.
#include "report.h"

#include <cstdio>
#include <cstring>

#include "hooks.h"
#include "json.h"
#include "model.h"
#include "news.h"
#include "platform.h"
#include "text.h"
#include "ymodem.h"

namespace {

plat_handle report_file = PLAT_INVALID_HANDLE;
const char* image_path = nullptr;
long image_bytes = 0;
const char* image_sha256 = nullptr;

// main refuses a longer path: it would not fit in block 0 beside the size.
constexpr size_t kImagePathMaxBytes = PACKET_SIZE;
// What plat_open_append says when it fails.
constexpr size_t kReasonTextBytes = 256;
// The version comes from the build; the bound only keeps the line's size known.
constexpr size_t kVersionMaxBytes = 64;
constexpr const char* kReasonTexts[] = {nullptr,         "no connection",    "boot loader not heard", "transfer failed",
                                        "stopped",       "not confirmed",    "worker failed",         "not heard",
                                        "address conflict", "another model", "rollout stopped",
                                        "run stopped",   "run stopped in boot loader", "abandoned",
                                        "already has this image"};
constexpr const char* kResultTexts[] = {"updated", "failed", "unconfirmed", "missing", "skipped"};
constexpr const char* kKindTexts[] = {"application", "boot loader"};
static_assert(sizeof kReasonTexts / sizeof kReasonTexts[0] == REASON_ALREADY_UPDATED + 1, "a text per reason");
static_assert(sizeof kResultTexts / sizeof kResultTexts[0] == RESULT_SKIPPED + 1, "a text per result");
constexpr size_t kSha256HexBytes = 64;

// The widest line is a machine's: its name and the image path escaped at
// six bytes apiece, and under 600 bytes of keys, numbers and times.
constexpr size_t kLineBytes = 8192;
static_assert(kLineBytes > 6 * (kRecordNameBytes + kImagePathMaxBytes) + 1024, "room for the widest line");
constexpr size_t kInt64Bytes = 20;  // -9223372036854775808

// --------------------------------------------------------------- line writer

// Appends stop at the first piece that does not fit; the line is then
// dropped whole rather than written cut.
struct Line {
    char* out;
    size_t cap;
    size_t len;
    bool full;
};

void Put(Line& l, const char* text, size_t n) {
    if (l.full || l.len + n >= l.cap) {
        l.full = true;
        return;
    }
    memcpy(l.out + l.len, text, n);
    l.len += n;
}

void Put(Line& l, const char* text) { Put(l, text, strlen(text)); }

void Key(Line& l, const char* key) {
    if (l.len > 0 && l.out[l.len - 1] != '{') Put(l, ",");
    Put(l, "\"");
    Put(l, key);
    Put(l, "\":");
}

void PutUint(Line& l, uint64_t v) {
    char digits[kInt64Bytes];
    size_t n = 0;
    do {
        digits[sizeof digits - ++n] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    Put(l, digits + sizeof digits - n, n);
}

void PutInt(Line& l, int64_t v) {
    if (v < 0) Put(l, "-");
    // Through unsigned arithmetic, so that the most negative value negates too.
    PutUint(l, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
}

void PutString(Line& l, const char* bytes, size_t len) {
    if (l.full) return;
    const size_t n = JsonString(bytes, len, l.out + l.len, l.cap - l.len);
    if (n == 0) {
        l.full = true;
        return;
    }
    l.len += n;
}

void PutText(Line& l, const char* text) {
    if (text == nullptr) {
        Put(l, "null");
        return;
    }
    PutString(l, text, strlen(text));
}

void PutAddress(Line& l, uint32_t addr) {
    char text[16];
    PutText(l, DottedQuad(addr, text));
}

// Text of at most `most` bytes, or null.
void PutBounded(Line& l, const char* text, size_t most) {
    if (text == nullptr) {
        Put(l, "null");
        return;
    }
    PutString(l, text, strnlen(text, most));
}

void PutSerial(Line& l, bool has_serial, uint32_t serial) {
    if (has_serial) {
        PutUint(l, serial);
    } else {
        Put(l, "null");
    }
}

// 0 is a time nobody knows: the machine was never heard.
void PutTime(Line& l, uint64_t utc_ms) {
    if (utc_ms == 0) {
        Put(l, "null");
        return;
    }
    char text[25];
    IsoUtc(utc_ms, text);
    PutText(l, text);
}

// A step that did not happen has no duration.
void PutMs(Line& l, int64_t ms) {
    if (ms < 0) {
        Put(l, "null");
        return;
    }
    PutInt(l, ms);
}

size_t Clamp(int len, size_t most) {
    if (len <= 0) return 0;
    return static_cast<size_t>(len) < most ? static_cast<size_t>(len) : most;
}

size_t End(Line& l) {
    Put(l, "}\n");
    if (l.full) {
        if (l.cap > 0) l.out[0] = '\0';
        return 0;
    }
    l.out[l.len] = '\0';
    return l.len;
}

}  // namespace

extern const size_t kReportLineBytes = kLineBytes;

const char* ReasonText(RecordReason reason) {
    const size_t i = static_cast<size_t>(reason);
    return i < sizeof kReasonTexts / sizeof kReasonTexts[0] ? kReasonTexts[i] : nullptr;
}

const char* ResultText(RecordResult result) {
    const size_t i = static_cast<size_t>(result);
    return i < sizeof kResultTexts / sizeof kResultTexts[0] ? kResultTexts[i] : kResultTexts[RESULT_FAILED];
}

// The Report*Line builders: the whole line, newline included,
// zero-terminated; 0 when it does not fit in cap (kReportLineBytes always
// does).
size_t ReportMachineLine(const MachineRecord& r, const char* image_path, long image_bytes, const char* image_sha256,
                         char* out, size_t cap) {
    const bool heard = r.result != RESULT_MISSING;
    Line l{out, cap, 0, false};
    Put(l, "{");
    Key(l, "address");
    if (r.addr_known) {
        PutAddress(l, r.addr);
    } else {
        Put(l, "null");
    }
    Key(l, "name");
    if (heard) {
        PutString(l, r.name, Clamp(r.name_len, kRecordNameBytes));
    } else {
        Put(l, "null");
    }
    Key(l, "model");
    PutText(l, heard ? ModelText(ModelOfName(r.name, r.name_len)) : nullptr);
    Key(l, "serial");
    PutSerial(l, r.has_serial, r.serial);
    Key(l, "result");
    PutText(l, ResultText(r.result));
    Key(l, "reason");
    PutText(l, ReasonText(r.reason));
    Key(l, "image");
    PutBounded(l, image_path, kImagePathMaxBytes);
    Key(l, "image_bytes");
    if (image_path != nullptr) {
        PutInt(l, image_bytes);
    } else {
        Put(l, "null");  // exploring: a machine named and never heard
    }
    Key(l, "image_sha256");
    PutBounded(l, image_sha256, kSha256HexBytes);
    Key(l, "started");
    PutTime(l, r.started_utc_ms);
    Key(l, "finished");
    PutTime(l, r.finished_utc_ms);
    Key(l, "reset_to_boot_ms");
    PutMs(l, r.reset_to_boot_ms);
    Key(l, "transfer_ms");
    PutMs(l, r.transfer_ms);
    Key(l, "run_to_confirm_ms");
    PutMs(l, r.run_to_confirm_ms);
    Key(l, "data_blocks_sent");
    PutUint(l, r.blocks_sent);
    Key(l, "data_blocks_resent");
    PutUint(l, r.blocks_resent);
    Key(l, "tries");
    PutInt(l, r.tries);
    Key(l, "last_failure");
    PutText(l, ReasonText(r.last_failure));
    return End(l);
}

size_t ReportListedLine(uint32_t addr, const char* name, int name_len, bool boot_loader, bool has_serial,
                        uint32_t serial, char* out, size_t cap) {
    Line l{out, cap, 0, false};
    Put(l, "{");
    Key(l, "address");
    PutAddress(l, addr);
    Key(l, "name");
    PutString(l, name, name ? Clamp(name_len, kRecordNameBytes) : 0);
    Key(l, "model");
    PutText(l, name ? ModelText(ModelOfName(name, name_len)) : nullptr);
    Key(l, "serial");
    PutSerial(l, has_serial, serial);
    Key(l, "kind");
    PutText(l, kKindTexts[boot_loader ? 1 : 0]);
    Key(l, "image_sha256");  // nothing is sent when exploring
    Put(l, "null");
    return End(l);
}

size_t ReportSummaryLine(const int counts[kReportCounts], bool exploring, int status, uint64_t started_utc_ms,
                         uint64_t finished_utc_ms, const char* version, const char* image_sha256, char* out,
                         size_t cap) {
    Line l{out, cap, 0, false};
    Put(l, "{");
    Key(l, "summary");
    Put(l, "{");
    if (exploring) {
        Key(l, "listed");
        PutInt(l, counts[0]);
    } else {
        Key(l, "updated");
        PutInt(l, counts[0]);
        Key(l, "failed");
        PutInt(l, counts[1]);
        Key(l, "unconfirmed");
        PutInt(l, counts[2]);
    }
    Key(l, "missing");
    PutInt(l, counts[3]);
    Key(l, "skipped");
    PutInt(l, counts[4]);
    Put(l, "}");
    Key(l, "status");
    PutInt(l, status);
    Key(l, "started");
    PutTime(l, started_utc_ms);
    Key(l, "finished");
    PutTime(l, finished_utc_ms);
    Key(l, "version");
    PutBounded(l, version, kVersionMaxBytes);
    Key(l, "image_sha256");
    PutBounded(l, image_sha256, kSha256HexBytes);
    return End(l);
}

bool ReportOpen(const char* path, char* why, size_t why_len) {
    char reason[kReasonTextBytes] = "";
    const plat_handle file = plat_open_append(path, reason, sizeof reason);
    if (file == PLAT_INVALID_HANDLE) {
        snprintf(why, why_len, "%s", reason);  // names the call and the file already
        return false;
    }
    report_file = file;
    return true;
}

bool ReportOn(void) { return report_file != PLAT_INVALID_HANDLE; }

void ReportImage(const char* path, long bytes, const char* sha256_hex) {
    image_path = path;
    image_bytes = bytes;
    image_sha256 = sha256_hex;
}

// A failed append cannot be made up for: the run goes on, and its status
// and trace still tell the outcome.
void ReportMachine(const MachineRecord& r) {
    if (!ReportOn()) return;
    char line[kLineBytes];
    const size_t n = ReportMachineLine(r, image_path, image_bytes, image_sha256, line, sizeof line);
    if (n > 0) (void)plat_append(report_file, line, n);
}

void ReportListed(uint32_t addr, const char* name, int name_len, bool boot_loader, bool has_serial, uint32_t serial) {
    if (!ReportOn()) return;
    char line[kLineBytes];
    const size_t n = ReportListedLine(addr, name, name_len, boot_loader, has_serial, serial, line, sizeof line);
    if (n > 0) (void)plat_append(report_file, line, n);
}

void ReportSummary(const int counts[kReportCounts], bool exploring, int status, uint64_t started_utc_ms,
                   uint64_t finished_utc_ms, const char* version) {
    if (!ReportOn()) return;
    char line[kLineBytes];
    const size_t n = ReportSummaryLine(counts, exploring, status, started_utc_ms, finished_utc_ms, version,
                                       image_sha256, line, sizeof line);
    if (n > 0) (void)plat_append(report_file, line, n);
}

void ReportNews(const News& n) {
    if (n.kind == NEWS_FINISHED) ReportMachine(*n.rec);
    if (n.kind == NEWS_LISTED) {
        const bool boot = n.an->kind != kAppKind;
        ReportListed(n.addr, n.an->name, n.an->name_len, boot, !boot, n.an->serial);
    }
}

void ReportPlan(const PlanRecord& p) {
    if (!ReportOn()) return;
    char out[kLineBytes];
    Line l{out, sizeof out, 0, false};
    Put(l, "{");
    Key(l, "address");
    if (p.addr_known) {
        PutAddress(l, p.addr);
    } else {
        Put(l, "null");
    }
    Key(l, "name");
    if (p.name != nullptr) {
        PutString(l, p.name, Clamp(p.name_len, kRecordNameBytes));
    } else {
        Put(l, "null");
    }
    Key(l, "model");
    PutText(l, p.name != nullptr ? ModelText(ModelOfName(p.name, p.name_len)) : nullptr);
    Key(l, "serial");
    PutSerial(l, p.has_serial, p.serial);
    Key(l, "plan");
    PutText(l, p.plan);
    Key(l, "reason");
    PutText(l, p.reason);
    Key(l, "wave");
    if (p.wave > 0) {
        PutInt(l, p.wave);
    } else {
        Put(l, "null");
    }
    Key(l, "image_sha256");
    PutBounded(l, image_sha256, kSha256HexBytes);
    const size_t n = End(l);
    if (n > 0) (void)plat_append(report_file, out, n);
}

void ReportPlanSummary(const int counts[4], int status, uint64_t started_utc_ms, uint64_t finished_utc_ms,
                       const char* version) {
    if (!ReportOn()) return;
    static const char* const kKeys[] = {"update", "leave alone", "skip", "not heard"};
    char out[kLineBytes];
    Line l{out, sizeof out, 0, false};
    Put(l, "{");
    Key(l, "plan_summary");
    Put(l, "{");
    for (int k = 0; k < 4; ++k) {
        Key(l, kKeys[k]);
        PutInt(l, counts[k]);
    }
    Put(l, "}");
    Key(l, "status");
    PutInt(l, status);
    Key(l, "started");
    PutTime(l, started_utc_ms);
    Key(l, "finished");
    PutTime(l, finished_utc_ms);
    Key(l, "version");
    PutBounded(l, version, kVersionMaxBytes);
    Key(l, "image_sha256");
    PutBounded(l, image_sha256, kSha256HexBytes);
    const size_t n = End(l);
    if (n > 0) (void)plat_append(report_file, out, n);
}
