#include "announce.h"

#include <sys/socket.h>

#include <cstring>

namespace {

const std::uint8_t kSignature[] = {0x22, 0xEF, 0x44, 0x1A, 0x33, 0xE9,
                                   0xF1, 0x34, 0x54, 0x9E, 0x78};

}  // namespace

void DefaultMac(in_addr address, std::uint8_t mac[6]) {
  const auto* ip = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
  const std::uint8_t prefix[4] = {0x02, 0x54, 0x41, 0x56};
  std::memcpy(mac, prefix, sizeof prefix);
  mac[4] = ip[2];
  mac[5] = ip[3];
}

std::vector<std::uint8_t> AnnouncementPacket(in_addr address, const std::uint8_t mac[6],
                                             std::uint16_t tcp_port, const char* name,
                                             const std::string* serial) {
  const auto* ip = reinterpret_cast<const std::uint8_t*>(&address.s_addr);
  std::vector<std::uint8_t> packet(kSignature, kSignature + sizeof kSignature);
  packet.insert(packet.end(), ip, ip + 4);
  packet.insert(packet.end(), {255, 255, 255, 0});
  packet.insert(packet.end(), mac, mac + 6);
  packet.push_back(static_cast<std::uint8_t>(tcp_port >> 8));
  packet.push_back(static_cast<std::uint8_t>(tcp_port & 0xFF));
  packet.insert(packet.end(), name, name + std::strlen(name) + 1);
  if (serial != nullptr) {
    packet.insert(packet.end(), {0, 0});
    packet.insert(packet.end(), serial->begin(), serial->end());
    packet.push_back(0);
  }
  return packet;
}

ssize_t SendFrom(int fd, const std::vector<std::uint8_t>& packet, const sockaddr_in& to,
                 in_addr from, int flags) {
  iovec iov{const_cast<std::uint8_t*>(packet.data()), packet.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
  msghdr msg{};
  msg.msg_name = const_cast<sockaddr_in*>(&to);
  msg.msg_namelen = sizeof to;
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst = from;
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
  return sendmsg(fd, &msg, flags);
}
