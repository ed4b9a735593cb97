#pragma once
// A loopback port nobody listens on right now.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "server/Socket.h"

inline int FreePort() {
  CSocket probe(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(probe.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
  socklen_t nLength = sizeof(address);
  ::getsockname(probe.Get(), reinterpret_cast<sockaddr*>(&address), &nLength);
  return ntohs(address.sin_port);
}
