// --report FILE: one JSON object per machine, appended the moment it has its
// result, and one summary object for the run, for programs to read.
#pragma once

#include <cstddef>
#include <cstdint>

// MISSING: named (with --all) but never heard. SKIPPED: heard, never begun.
enum RecordResult { RESULT_UPDATED, RESULT_FAILED, RESULT_UNCONFIRMED, RESULT_MISSING, RESULT_SKIPPED };

// Why a machine was not updated. The texts (ReasonText) are listed in
// docs/report.md; scripts rely on them.
enum RecordReason {
    REASON_NONE,             // updated
    REASON_NO_CONNECTION,    // took no TCP connection for 30 s
    REASON_BOOT_NOT_HEARD,   // its boot loader did not announce itself after the reset
    REASON_TRANSFER_FAILED,  // the YMODEM transfer failed; no '3' was sent
    REASON_STOPPED,          // the run was stopped (Ctrl-C) before the machine had its result
    REASON_NOT_CONFIRMED,    // '3' sent, but its application was not heard in time
    REASON_WORKER_FAILED,    // the worker process of a parallel run could not start or ended early
    REASON_NOT_HEARD,        // named, but never announced itself
    REASON_ADDRESS_CONFLICT,  // two boards announced its address; no new connection there
    REASON_ANOTHER_MODEL,     // named, and of a model the run is not for (skipped)
    REASON_ROLLOUT_STOPPED,   // chosen, and not begun when the rollout stopped (skipped)
    REASON_RUN_STOPPED,       // the run was stopped (Ctrl-C) before the machine was touched (skipped)
    REASON_STOPPED_IN_BOOT_LOADER,  // the run was stopped and left it in its boot loader (skipped)
    REASON_ABANDONED,         // its transfer was abandoned by a second Ctrl-C; no '3' was sent
    REASON_ALREADY_UPDATED,   // it already has this image, by the station's record (skipped)
};

constexpr int64_t kNoMs = -1;  // a step that did not happen: null in the report
constexpr int kRecordNameBytes = 512;

// What one machine went through; filled by whoever handled it.
struct MachineRecord {
    uint32_t addr = 0;  // network byte order
    bool addr_known = true;  // false for a machine named by its serial number and never heard
    // As announced by its application (by its boot loader where no
    // application was heard); any bytes, not terminated.
    char name[kRecordNameBytes] = {};
    int name_len = 0;
    bool has_serial = false;
    uint32_t serial = 0;
    RecordResult result = RESULT_FAILED;
    RecordReason reason = REASON_NONE;
    uint64_t started_utc_ms = 0, finished_utc_ms = 0;
    int64_t reset_to_boot_ms = kNoMs;    // 'R' sent -> boot loader's announcement arrived
    int64_t transfer_ms = kNoMs;         // the YMODEM transfer, block 0 to its end
    int64_t run_to_confirm_ms = kNoMs;   // '3' sent -> confirming announcement arrived
    uint32_t blocks_sent = 0;            // data blocks, each counted once
    uint32_t blocks_resent = 0;          // sendings of a data block beyond its first
    int tries = 1;                       // updates begun (0: never heard)
    RecordReason last_failure = REASON_NONE;  // why the last try that failed did
};

const char* ReasonText(RecordReason reason);  // nullptr for REASON_NONE
const char* ResultText(RecordResult result);

// Opens FILE for appending; false with the reason in why. Nothing is
// written until the first machine has its result.
bool ReportOpen(const char* path, char* why, size_t why_len);
bool ReportOn(void);
// The image every line names: its path as typed, its size and the SHA-256
// as lower-case hex (kept, not copied; nullptr when exploring).
void ReportImage(const char* path, long bytes, const char* sha256_hex);
// One line per machine, written and flushed at once.
void ReportMachine(const MachineRecord& r);
// Exploring with --all: one line per machine listed.
void ReportListed(uint32_t addr, const char* name, int name_len, bool boot_loader, bool has_serial, uint32_t serial);
// The run's last line. counts: updated, failed, unconfirmed, missing,
// skipped (listed in counts[0] when exploring).
constexpr int kReportCounts = 5;
void ReportSummary(const int counts[kReportCounts], bool exploring, int status, uint64_t started_utc_ms,
                   uint64_t finished_utc_ms, const char* version);

// --plan: what the run would do to one machine (heard, or named and not
// heard), and the plan's last line.
struct PlanRecord {
    uint32_t addr;
    bool addr_known;
    const char* name;  // nullptr: not heard, or left alone
    int name_len;
    bool has_serial;
    uint32_t serial;
    const char* plan;    // "update", "leave alone", "skip", "not heard", "list"
    const char* reason;  // why not updated, or nullptr
    int wave;            // with --canary: 1 or 2; 0 without
};
void ReportPlan(const PlanRecord& p);
// counts: to update, to leave alone, to skip, not heard.
void ReportPlanSummary(const int counts[4], int status, uint64_t started_utc_ms, uint64_t finished_utc_ms,
                       const char* version);

// A watcher of the run's news (news.h): a machine's record once it has its
// result, a machine listed when exploring.
struct News;
void ReportNews(const News& n);

// The lines, for the report and its tests: newline included,
// zero-terminated; 0 when one does not fit in cap (kReportLineBytes always
// fits).
extern const size_t kReportLineBytes;
// image_sha256: lower-case hex, or nullptr for null.
size_t ReportMachineLine(const MachineRecord& r, const char* image_path, long image_bytes, const char* image_sha256,
                         char* out, size_t cap);
size_t ReportListedLine(uint32_t addr, const char* name, int name_len, bool boot_loader, bool has_serial,
                        uint32_t serial, char* out, size_t cap);
size_t ReportSummaryLine(const int counts[kReportCounts], bool exploring, int status, uint64_t started_utc_ms,
                         uint64_t finished_utc_ms, const char* version, const char* image_sha256, char* out,
                         size_t cap);
