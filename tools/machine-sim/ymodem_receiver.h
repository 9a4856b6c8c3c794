#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

// Faults the receiver can be told to show, so a sender's retry paths can be
// exercised. Block numbers count data blocks from 1 and do not wrap.
struct ReceiverFaults {
  int block_delay_ms = 0;      // wait before acknowledging each data block
  long silent_from_block = 0;  // 0: never fall silent
  long close_at_block = 0;     // 0: never drop the connection
  bool c_first = false;        // answer the first block 0 with 'C'
  bool c_forever = false;      // answer every block 0 with 'C'
  bool garbage = false;        // answer data blocks with junk bytes
  bool nak_storm = false;      // answer data blocks with NAK
  long fail_transfers = 0;     // answer data blocks with NAK in the first N batches
};

// YMODEM batch receiver (CRC-16 mode) fed from a byte stream that may split
// or merge frames arbitrarily. It never touches a socket: it appends what it
// wants sent to an output string, so the caller owns all I/O and timing.
class YmodemReceiver {
 public:
  enum class Event {
    kNone,     // nothing more to do until new bytes or NextDeadlineMs()
    kCommand,  // a byte outside any frame, returned through *command
    kClose,    // the connection must be dropped
    kBatchEnd  // the closing empty block has been acknowledged
  };

  // strict: log "early ..." for every frame, EOT or run command whose first
  // byte came in before the request it answers went out.
  YmodemReceiver(const ReceiverFaults& faults, int c_interval_ms, bool strict);

  // Starts a fresh batch; the first 'C' goes out at once or after half an
  // interval (so it does not coincide with a sender's whole-second pauses).
  void Start(std::int64_t now_ms, bool c_at_once);
  void Stop() { state_ = State::kIdle; }
  bool Active() const { return state_ != State::kIdle; }

  void Feed(std::int64_t now_ms, const std::uint8_t* data, std::size_t size);

  // Handles what is due; call again until it returns kNone.
  Event Poll(std::int64_t now_ms, std::string* out, std::uint8_t* command);

  // Earliest time at which Poll() has something to do without new input.
  std::int64_t NextDeadlineMs() const;

  // Header accepted, end of batch reached, length as announced, no block
  // beyond the end and only 0x1A fill behind it.
  bool Intact() const;
  // Whether the closing block's ACK had gone out when the first byte of the
  // command last returned by Poll() came in.
  bool CommandAfterBatchEnd() const { return state_ == State::kDone && command_stamp_ >= need_; }
  const std::vector<std::uint8_t>& Image() const { return image_; }

 private:
  enum class State { kIdle, kWaitHeader, kData, kEotNaked, kWaitClosing, kDone };

  Event OnFrame(std::int64_t now_ms, const std::uint8_t* frame, std::size_t data_len,
                std::string* out);
  Event OnHeaderFrame(const std::uint8_t* data, std::size_t data_len, std::string* out);
  void OnEot(std::int64_t now_ms, std::string* out);
  void ResetFile();
  std::string StoreBlock(const std::uint8_t* data, std::size_t data_len);
  void Acknowledge(std::int64_t now_ms, std::string* out);
  void Request(std::string* out, std::uint8_t byte);
  // The next frame answers the request put out next.
  void AwaitAnswer() { need_ = requests_ + 1; }
  std::uint64_t StampAt(std::uint64_t offset);
  void LogEarlyFrame(std::uint8_t number) const;

  ReceiverFaults faults_;
  int c_interval_ms_;
  State state_ = State::kIdle;
  std::vector<std::uint8_t> in_;  // bytes not yet parsed
  std::int64_t last_rx_ms_ = 0;
  std::int64_t next_c_ms_ = 0;
  std::string delayed_reply_;
  std::int64_t delayed_due_ms_ = 0;
  bool silent_ = false;
  bool c_first_done_ = false;
  long starts_ = 0;  // batches started, for fail_transfers

  // Strict checking. requests_ counts the 'C's and ACKs put out (and the NAK
  // that asks for the second EOT); each chunk fed is stamped with its value
  // then. A frame is early when the chunk holding its first byte has a stamp
  // below need_.
  bool strict_;
  std::uint64_t requests_ = 0;
  std::uint64_t need_ = 0;
  std::uint64_t in_offset_ = 0;  // stream offset of in_[0]
  std::deque<std::pair<std::uint64_t, std::uint64_t>> stamps_;  // (chunk's offset, stamp)
  std::uint64_t command_stamp_ = 0;

  long block_ = 0;         // number of the data block expected next
  long long size_ = -1;    // announced length, -1 when block 0 gave none
  std::uint64_t received_ = 0;  // data bytes of accepted blocks, fill included
  std::vector<std::uint8_t> image_;
  bool header_ok_ = false;
  bool eot_seen_ = false;
  bool finished_ = false;
  bool overrun_ = false;
  bool bad_fill_ = false;
};
