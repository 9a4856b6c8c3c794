// What an executor's news means for a machine on its path.
#include <cstdint>

#include "machines.h"
#include "news.h"
#include "outcome.h"
#include "rules.h"

namespace {

long image_bytes = 0;

uint32_t DataBlocks(long bytes) {
    const uint32_t size = static_cast<uint32_t>(bytes);
    return size / 1024 + (size % 1024 + 127) / 128;
}

// The executor's transfer news for a machine.
void Transferred(int i, const ExecEvent& e) {
    Machine& m = TableMachine(i);
    switch (static_cast<TransferNews>(e.step)) {
    case TN_STARTED:
        m.transfer_started_ms = m.step_ms = e.at_ms;
        m.step = STEP_TRANSFER;
        Tell(NEWS_TRANSFER_STARTED, i, nullptr, image_bytes, DataBlocks(image_bytes));
        return;
    case TN_DATA_SENT:
    case TN_DATA_ACKED:
        return;  // told as progress (EX_PROGRESS)
    case TN_FAILED_BLOCK0:
    case TN_FAILED_DATA:
    case TN_FAILED_EOT:
    case TN_FAILED_CLOSING:
    case TN_DONE:
        break;
    }
    m.rec.transfer_ms = static_cast<int64_t>(e.at_ms - m.transfer_started_ms);
    m.rec.blocks_sent = e.sent;
    m.rec.blocks_resent = e.resent;
    if (e.step == TN_DONE) {
        m.step = STEP_STARTING;
        m.step_ms = e.at_ms;
        Tell(NEWS_TRANSFER_DONE, i, nullptr, m.rec.transfer_ms, m.rec.blocks_resent);
    } else {
        Tell(NEWS_TRANSFER_FAILED, i, nullptr, e.step, e.block, e.answer);
    }
}

// Its path ended as the rules asked: a stopped run leaves it as it is,
// anything else fails it.
void Halted(int i) {
    const RecordReason why = TableMachine(i).halt;
    const bool stopped = why == REASON_RUN_STOPPED || why == REASON_STOPPED_IN_BOOT_LOADER;
    Finish(i, stopped ? SKIPPED : FAILED, why);
}

// The transfer so far: what the display and the record show of it.
void Progress(int i, const ExecEvent& e) {
    Machine& m = TableMachine(i);
    m.rec.blocks_sent = e.sent;
    m.rec.blocks_resent = e.resent;
    if (e.block == m.blocks_acked) return;
    m.blocks_acked = e.block;
    m.step_ms = e.at_ms;
    const uint32_t total = DataBlocks(image_bytes);
    Tell(NEWS_BLOCK_ACKED, i, nullptr, m.blocks_acked, total);
    const uint32_t tenths = total ? m.blocks_acked * 10 / total : 0;
    if (tenths > m.tenths && tenths < 10) Tell(NEWS_PROGRESS, i, nullptr, tenths * 10, m.blocks_acked, total);
    if (tenths > m.tenths) m.tenths = tenths;
}

}  // namespace

void RulesEventsStart(long bytes) { image_bytes = bytes; }

uint32_t RulesDataBlocks(void) { return DataBlocks(image_bytes); }

void RulesEvent(int i, const ExecEvent& e) {
    if (i < 0 || i >= TableCount()) return;
    Machine& m = TableMachine(i);
    if (IsFinal(m.phase)) return;
    switch (static_cast<ExecNews>(e.news)) {
    case EX_CONNECTED:
        m.connected = true;
        m.step_ms = e.at_ms;
        return;
    case EX_UNLOCK_SENT:
        m.step = STEP_UNLOCKING;
        m.step_ms = e.at_ms;
        return;
    case EX_REQUEST_SENT:
        m.step = STEP_REQUESTING;
        m.step_ms = e.at_ms;
        return;
    case EX_RESET_SENT:
        m.reset_sent_ms = m.step_ms = e.at_ms;
        m.step = STEP_RESTARTING;
        Tell(NEWS_RESET_SENT, i);
        return;
    case EX_RESET_DONE:
        m.on_path = false;
        // The reset has gone out, and no connection follows (two boards
        // there, or the run was stopped): it restarts into its boot loader.
        if (m.halt == REASON_RUN_STOPPED) m.halt = REASON_STOPPED_IN_BOOT_LOADER;
        if (m.halt != REASON_NONE) Halted(i);
        return;
    case EX_TRANSFER:
        Transferred(i, e);
        return;
    case EX_PROGRESS:
        Progress(i, e);
        return;
    case EX_NO_RUN:
        // '3' is not sent after a failed transfer, nor one abandoned.
        Finish(i, FAILED, m.halt == REASON_ABANDONED ? REASON_ABANDONED : REASON_TRANSFER_FAILED);
        return;
    case EX_RUN_SENT:
        m.phase = CONFIRMING;
        m.step = STEP_CONFIRMING;
        m.step_ms = e.at_ms;
        m.on_path = false;
        m.halt = REASON_NONE;  // it had its run command: it keeps its outcome
        m.run_ms = e.at_ms;
        Tell(NEWS_RUN_SENT, i);
        return;
    case EX_ABANDONED:
        if (m.halt == REASON_NONE) m.halt = REASON_NO_CONNECTION;
        if (m.halt == REASON_NO_CONNECTION) Tell(NEWS_NO_CONNECTION, i, nullptr, static_cast<int64_t>(kConnectGiveUpMs / 1000));
        Halted(i);
        return;
    case EX_GONE:
        if (!RunStopping() && InTry(m.phase)) Finish(i, FAILED, m.halt != REASON_NONE ? m.halt : REASON_WORKER_FAILED);
        return;
    }
}

