#include "crowd.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "announce.h"

Crowd::Crowd(long count, in_addr first_before, const sockaddr_in& announce_to, bool model_5s,
             long serial_base, int interval_ms)
    : count_(count),
      first_(ntohl(first_before.s_addr) + 1),
      to_(announce_to),
      model_5s_(model_5s),
      serial_base_(serial_base),
      interval_ms_(interval_ms) {}

Crowd::~Crowd() {
  if (fd_ >= 0) close(fd_);
}

bool Crowd::Open() {
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (fd_ < 0 || setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
    std::fprintf(stderr, "machine-sim: --crowd: cannot make a UDP socket: %s\n", std::strerror(errno));
    return false;
  }
  return true;
}

std::int64_t Crowd::SendDue(std::int64_t now) {
  if (start_ms_ < 0) start_ms_ = now;
  // Announcement k (of all machines together) is due at start + k * interval / count.
  auto due = [&](std::int64_t k) { return start_ms_ + k * interval_ms_ / count_; };
  for (; due(sent_) <= now; ++sent_) {
    const long i = static_cast<long>(sent_ % count_);
    const std::uint32_t addr = htonl(first_ + static_cast<std::uint32_t>(i));
    in_addr from{};
    from.s_addr = addr;
    std::uint8_t mac[6];
    DefaultMac(from, mac);
    const std::string serial = std::to_string(serial_base_ + 1 + i);
    const std::vector<std::uint8_t> packet =
        AnnouncementPacket(from, mac, 888, model_5s_ ? "Tavix5S" : "Tavix7", &serial);
    // The source address of each machine's own, through one socket; a full
    // buffer drops one: the next comes within the interval.
    (void)SendFrom(fd_, packet, to_, from, 0);
  }
  return due(sent_);
}
