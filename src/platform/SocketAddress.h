// The system's socket address of an IpAddress and a port, for the probe's connects on either
// system. Only for src/platform: it brings in the socket headers.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstdint>
#include <cstring>

#include "platform/IpAddress.h"

namespace varnley {

struct SocketAddress {
  sockaddr_storage storage{};
  int length = 0;
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

inline SocketAddress SocketAddressOf(const IpAddress& ip, std::uint16_t port) {
  SocketAddress address;
  if (ip.v6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    std::memcpy(&in6->sin6_addr, ip.bytes.data(), 16);
    address.length = sizeof(sockaddr_in6);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&address.storage);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    std::memcpy(&in->sin_addr, ip.bytes.data(), 4);
    address.length = sizeof(sockaddr_in);
  }
  return address;
}

}  // namespace varnley
