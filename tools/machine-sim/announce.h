// The announcement datagram, and sending a datagram from an address of our
// choice, so that many machines can share one UDP socket.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

// MAC field a machine announces unless told otherwise: locally
// administered, the last two bytes those of its address.
void DefaultMac(in_addr address, std::uint8_t mac[6]);

// What a machine at `address` announces: a boot loader's announcement when
// serial is null, else an application's with that serial number.
std::vector<std::uint8_t> AnnouncementPacket(in_addr address, const std::uint8_t mac[6],
                                             std::uint16_t tcp_port, const char* name,
                                             const std::string* serial);

// sendmsg() with `from` as the source address (IP_PKTINFO); the socket
// itself stays unbound. The result of sendmsg().
ssize_t SendFrom(int fd, const std::vector<std::uint8_t>& packet, const sockaddr_in& to,
                 in_addr from, int flags);
