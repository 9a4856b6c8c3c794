#include "crowd.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const std::uint8_t kSignature[] = {0x22, 0xEF, 0x44, 0x1A, 0x33, 0xE9,
                                   0xF1, 0x34, 0x54, 0x9E, 0x78};

}  // namespace

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
    const auto* ip = reinterpret_cast<const std::uint8_t*>(&addr);
    const char* name = model_5s_ ? "Tavix5S" : "Tavix7";
    const std::string serial = std::to_string(serial_base_ + 1 + i);
    std::vector<std::uint8_t> packet(kSignature, kSignature + sizeof kSignature);
    packet.insert(packet.end(), ip, ip + 4);
    packet.insert(packet.end(), {255, 255, 255, 0});
    packet.insert(packet.end(), {0x02, 0x54, 0x41, 0x56, ip[2], ip[3]});
    packet.insert(packet.end(), {0x03, 0x78});  // port 888
    packet.insert(packet.end(), name, name + std::strlen(name) + 1);
    packet.insert(packet.end(), {0, 0});
    packet.insert(packet.end(), serial.begin(), serial.end());
    packet.push_back(0);
    // The source address of each machine's own, through one socket.
    iovec iov{packet.data(), packet.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to_;
    msg.msg_namelen = sizeof to_;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst.s_addr = addr;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    (void)sendmsg(fd_, &msg, 0);  // a full buffer drops one: the next comes within the interval
  }
  return due(sent_);
}
