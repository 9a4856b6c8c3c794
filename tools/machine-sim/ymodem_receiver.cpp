#include "ymodem_receiver.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "crc16.h"
#include "event_log.h"

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCrcRequest = 'C';
constexpr std::uint8_t kFill = 0x1A;
constexpr std::size_t kShortBlockBytes = 128;
constexpr std::size_t kLongBlockBytes = 1024;
constexpr std::size_t kFrameOverheadBytes = 5;  // lead, number, complement, CRC
// A frame that stops arriving for this long is dropped and NAKed, as a
// serial receiver would after its character timeout.
constexpr std::int64_t kPartialFrameTimeoutMs = 1000;
constexpr std::size_t kMaxImageBytes = 256u << 20;
const char kGarbageReply[] = "\xA5\x5A\xFF";

// Name bytes as log-safe text: anything but visible ASCII becomes \xNN.
std::string Printable(const std::uint8_t* data, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] > 0x20 && data[i] < 0x7F && data[i] != '\\') {
      text += static_cast<char>(data[i]);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", data[i]);
      text += hex;
    }
  }
  return text;
}

}  // namespace

YmodemReceiver::YmodemReceiver(const ReceiverFaults& faults, int c_interval_ms, bool strict)
    : faults_(faults), c_interval_ms_(c_interval_ms), strict_(strict) {}

void YmodemReceiver::Start(std::int64_t now_ms, bool c_at_once) {
  ResetFile();
  in_offset_ += in_.size();
  in_.clear();
  stamps_.clear();
  AwaitAnswer();  // block 0 waits for the first 'C'
  delayed_reply_.clear();
  silent_ = false;
  c_first_done_ = false;
  ++starts_;
  state_ = State::kWaitHeader;
  next_c_ms_ = c_at_once ? now_ms : now_ms + c_interval_ms_ / 2;
}

void YmodemReceiver::Feed(std::int64_t now_ms, const std::uint8_t* data, std::size_t size) {
  if (state_ == State::kIdle || size == 0) return;
  if (strict_) stamps_.emplace_back(in_offset_ + in_.size(), requests_);
  in_.insert(in_.end(), data, data + size);
  last_rx_ms_ = now_ms;
}

YmodemReceiver::Event YmodemReceiver::Poll(std::int64_t now_ms, std::string* out,
                                           std::uint8_t* command) {
  if (state_ == State::kIdle) return Event::kNone;
  if (!delayed_reply_.empty()) {
    if (now_ms < delayed_due_ms_) return Event::kNone;
    out->append(delayed_reply_);
    requests_ += delayed_reply_.size();  // only ever an ACK
    delayed_reply_.clear();
  }
  std::size_t used = 0;
  Event event = Event::kNone;
  while (used < in_.size() && event == Event::kNone && delayed_reply_.empty()) {
    const std::uint8_t lead = in_[used];
    const std::uint64_t stamp = strict_ ? StampAt(in_offset_ + used) : 0;
    if (lead == kEot) {
      ++used;
      if (strict_ && stamp < need_) LogEvent("early eot");
      OnEot(now_ms, out);
    } else if (lead != kSoh && lead != kStx) {
      ++used;
      command_stamp_ = stamp;
      *command = lead;
      event = Event::kCommand;
    } else {
      const std::size_t data_len = lead == kSoh ? kShortBlockBytes : kLongBlockBytes;
      if (in_.size() - used < data_len + kFrameOverheadBytes) break;
      if (strict_ && stamp < need_) LogEarlyFrame(in_[used + 1]);
      event = OnFrame(now_ms, &in_[used], data_len, out);
      used += data_len + kFrameOverheadBytes;
    }
  }
  if (event == Event::kClose) {
    state_ = State::kIdle;
    return event;
  }
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(used));
  in_offset_ += used;
  if (event != Event::kNone) return event;

  if (!in_.empty() && delayed_reply_.empty() && now_ms - last_rx_ms_ >= kPartialFrameTimeoutMs) {
    LogEvent("timeout partial=%zu", in_.size());
    in_offset_ += in_.size();
    in_.clear();
    if (!silent_) out->push_back(static_cast<char>(kNak));
  }
  const bool wants_header = state_ == State::kWaitHeader || state_ == State::kWaitClosing;
  if (wants_header && in_.empty() && !silent_ && now_ms >= next_c_ms_) {
    Request(out, kCrcRequest);
    LogEvent("tx-c");
    next_c_ms_ = now_ms + c_interval_ms_;
  }
  return Event::kNone;
}

std::int64_t YmodemReceiver::NextDeadlineMs() const {
  std::int64_t deadline = std::numeric_limits<std::int64_t>::max();
  if (state_ == State::kIdle) return deadline;
  if (!delayed_reply_.empty()) return delayed_due_ms_;
  if (!in_.empty()) return last_rx_ms_ + kPartialFrameTimeoutMs;
  if ((state_ == State::kWaitHeader || state_ == State::kWaitClosing) && !silent_) {
    deadline = next_c_ms_;
  }
  return deadline;
}

bool YmodemReceiver::Intact() const {
  const bool length_ok = size_ < 0 || image_.size() == static_cast<std::uint64_t>(size_);
  return finished_ && header_ok_ && eot_seen_ && !overrun_ && !bad_fill_ && length_ok;
}

YmodemReceiver::Event YmodemReceiver::OnFrame(std::int64_t now_ms, const std::uint8_t* frame,
                                              std::size_t data_len, std::string* out) {
  const std::uint8_t number = frame[1];
  const std::uint8_t* data = frame + 3;
  const bool header_ok = static_cast<std::uint8_t>(number ^ frame[2]) == 0xFF;
  const std::uint16_t crc = static_cast<std::uint16_t>(data[data_len] << 8 | data[data_len + 1]);
  const bool crc_ok = Crc16Xmodem(data, data_len) == crc;
  const char* nak = "\x15";

  if (silent_) {
    LogEvent("block %ld silent", block_);
    return Event::kNone;
  }
  // A sender that took a stale reply for the ACK of its first EOT sends the
  // closing block next; that still ends the batch cleanly.
  const bool closing = header_ok && crc_ok && number == 0 && data[0] == 0;
  if (state_ != State::kData && (state_ != State::kEotNaked || closing)) {
    if (!header_ok || !crc_ok || number != 0) {
      LogEvent("block 0 bad %s", !header_ok ? "header" : !crc_ok ? "crc" : "number");
      out->append(nak);
      return Event::kNone;
    }
    return OnHeaderFrame(data, data_len, out);
  }

  const auto expected = static_cast<std::uint8_t>(block_);
  const auto previous = static_cast<std::uint8_t>(block_ - 1);
  if (!header_ok) {
    LogEvent("block %ld bad header", block_);
    out->append(nak);
  } else if (number == expected) {
    if (faults_.close_at_block > 0 && block_ == faults_.close_at_block) {
      LogEvent("block %ld close", block_);
      return Event::kClose;
    }
    if (faults_.silent_from_block > 0 && block_ >= faults_.silent_from_block) {
      silent_ = true;
      LogEvent("block %ld silent", block_);
    } else if (!crc_ok) {
      LogEvent("block %ld bad crc", block_);
      out->append(nak);
    } else if (faults_.nak_storm || starts_ <= faults_.fail_transfers) {
      LogEvent("block %ld nak-storm", block_);
      out->append(nak);
    } else if (faults_.garbage) {
      LogEvent("block %ld garbage", block_);
      out->append(kGarbageReply);
    } else {
      const std::string note = StoreBlock(data, data_len);
      LogEvent("block %ld ok len=%zu%s", block_, data_len, note.c_str());
      ++block_;
      state_ = State::kData;
      AwaitAnswer();
      Acknowledge(now_ms, out);
    }
  } else if (number == previous) {
    LogEvent("block %ld repeat%s", block_ - 1, crc_ok ? "" : " bad crc");
    if (crc_ok) {
      Request(out, kAck);
    } else {
      out->append(nak);
    }
  } else {
    LogEvent("block %ld bad number=0x%02X", block_, number);
    out->append(nak);
  }
  return Event::kNone;
}

YmodemReceiver::Event YmodemReceiver::OnHeaderFrame(const std::uint8_t* data,
                                                    std::size_t data_len, std::string* out) {
  if (data[0] == 0) {
    if (state_ == State::kDone) {
      Request(out, kAck);
      LogEvent("end-of-batch repeat");
      return Event::kNone;
    }
    AwaitAnswer();  // the run command
    Request(out, kAck);
    LogEvent("end-of-batch");
    finished_ = true;
    state_ = State::kDone;
    return Event::kBatchEnd;
  }
  const std::uint8_t* name_end = std::find(data, data + data_len, 0);
  const std::string name = Printable(data, static_cast<std::size_t>(name_end - data));
  long long size = -1;
  for (const std::uint8_t* p = name_end + (name_end < data + data_len ? 1 : 0);
       p < data + data_len && *p >= '0' && *p <= '9' && size < (1LL << 40); ++p) {
    size = (size < 0 ? 0 : size * 10) + (*p - '0');
  }
  char size_text[24] = "none";
  if (size >= 0) std::snprintf(size_text, sizeof size_text, "%lld", size);

  if (faults_.c_forever || (faults_.c_first && !c_first_done_)) {
    c_first_done_ = true;
    LogEvent("block 0 name=%s size=%s reply=C", name.c_str(), size_text);
    Request(out, kCrcRequest);
    return Event::kNone;
  }
  LogEvent("block 0 name=%s size=%s", name.c_str(), size_text);
  ResetFile();  // a new file of the batch starts from scratch
  size_ = size;
  header_ok_ = true;
  block_ = 1;
  state_ = State::kData;
  AwaitAnswer();
  Request(out, kAck);
  Request(out, kCrcRequest);
  return Event::kNone;
}

void YmodemReceiver::OnEot(std::int64_t now_ms, std::string* out) {
  if (silent_) {
    LogEvent("eot silent");
    return;
  }
  switch (state_) {
    case State::kData:
      // The first EOT is refused so that a stray EOT byte cannot end a file.
      LogEvent("eot nak");
      AwaitAnswer();  // the second EOT
      Request(out, kNak);
      eot_seen_ = true;
      state_ = State::kEotNaked;
      break;
    case State::kEotNaked:
      LogEvent("eot ack");
      AwaitAnswer();  // the closing block
      Request(out, kAck);
      Request(out, kCrcRequest);
      state_ = State::kWaitClosing;
      next_c_ms_ = now_ms + c_interval_ms_;
      break;
    case State::kWaitClosing:
    case State::kDone:
      LogEvent("eot repeat");
      Request(out, kAck);
      break;
    default:
      LogEvent("eot unexpected");
      out->push_back(static_cast<char>(kNak));
      break;
  }
}

void YmodemReceiver::ResetFile() {
  block_ = 0;
  size_ = -1;
  received_ = 0;
  image_.clear();
  header_ok_ = eot_seen_ = finished_ = overrun_ = bad_fill_ = false;
}

std::string YmodemReceiver::StoreBlock(const std::uint8_t* data, std::size_t data_len) {
  const std::uint64_t offset = received_;
  received_ += data_len;
  std::uint64_t limit = kMaxImageBytes;
  if (size_ >= 0) limit = std::min<std::uint64_t>(limit, static_cast<std::uint64_t>(size_));
  if (offset >= limit) {
    overrun_ = true;
    return " beyond-size";
  }
  const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(data_len, limit - offset));
  image_.insert(image_.end(), data, data + take);
  if (size_ >= 0 && std::any_of(data + take, data + data_len, [](std::uint8_t b) { return b != kFill; })) {
    bad_fill_ = true;
    return " bad-fill";
  }
  return "";
}

void YmodemReceiver::Acknowledge(std::int64_t now_ms, std::string* out) {
  if (faults_.block_delay_ms > 0) {
    delayed_reply_.assign(1, static_cast<char>(kAck));
    delayed_due_ms_ = now_ms + faults_.block_delay_ms;
  } else {
    Request(out, kAck);
  }
}

void YmodemReceiver::Request(std::string* out, std::uint8_t byte) {
  out->push_back(static_cast<char>(byte));
  ++requests_;
}

// Offsets asked for only grow, so chunks wholly behind one can go.
std::uint64_t YmodemReceiver::StampAt(std::uint64_t offset) {
  while (stamps_.size() > 1 && stamps_[1].first <= offset) stamps_.pop_front();
  return stamps_.front().second;
}

void YmodemReceiver::LogEarlyFrame(std::uint8_t number) const {
  if (state_ == State::kWaitHeader) {
    LogEvent("early block 0");
  } else if (state_ == State::kData || (state_ == State::kEotNaked && number != 0)) {
    // Numbered as OnFrame() will log it: a repeat as the block before.
    LogEvent("early block %ld",
             number == static_cast<std::uint8_t>(block_ - 1) ? block_ - 1 : block_);
  } else {
    LogEvent("early closing");
  }
}
