// --crowd N: more machines that only announce their application, over
// UDP, the way a busy production line sounds to lanflash. Each one sends
// from its own address through one socket, so a thousand cost one
// descriptor.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

class Crowd {
 public:
  // count machines at the addresses after `first_before`, announcing as
  // model 7 or 5S every interval_ms, spread evenly over it; serial numbers
  // count up from serial_base + 1.
  Crowd(long count, in_addr first_before, const sockaddr_in& announce_to, bool model_5s,
        long serial_base, int interval_ms);
  ~Crowd();
  Crowd(const Crowd&) = delete;
  Crowd& operator=(const Crowd&) = delete;
  // False with a message on stderr when the socket cannot be made.
  bool Open();
  // Sends every announcement due by now; the time of the next one.
  std::int64_t SendDue(std::int64_t now);
  long count() const { return count_; }
  std::int64_t sent() const { return sent_; }

 private:
  long count_;
  std::uint32_t first_;  // host byte order
  sockaddr_in to_;
  bool model_5s_;
  long serial_base_;
  int interval_ms_;
  int fd_ = -1;
  std::int64_t start_ms_ = -1;
  std::int64_t sent_ = 0;  // announcements so far, all machines together
};
