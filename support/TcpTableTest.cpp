#include "support/TcpTable.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

namespace varn::support {
namespace {

std::uint16_t localPort(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

std::uint64_t inodeOf(int fd) {
  struct stat info {};
  ::fstat(fd, &info);
  return info.st_ino;
}

TEST(TcpTableTest, ListsAListenerAndBothEndsOfAConnectionWithTheirInodes) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  const std::uint16_t port = localPort(listener);
  address.sin_port = htons(port);
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(accepted, 0);

  const std::vector<TcpSocket> sockets = tcpSockets();
  auto listed = [&](const TcpSocket& wanted) {
    return std::find(sockets.begin(), sockets.end(), wanted) != sockets.end();
  };
  EXPECT_TRUE(listed({port, 0, kTcpListen, inodeOf(listener), "127.0.0.1"}));
  EXPECT_TRUE(listed({port, localPort(client), kTcpEstablished, inodeOf(accepted), "127.0.0.1"}));
  EXPECT_TRUE(listed({localPort(client), port, kTcpEstablished, inodeOf(client), "127.0.0.1"}));
  // This process holds all three, and is the root of its own tree.
  const std::set<std::uint64_t> held = socketInodesOf(processTree(::getpid()));
  for (int fd : {listener, client, accepted}) EXPECT_TRUE(held.contains(inodeOf(fd))) << fd;
  for (int fd : {accepted, client, listener}) ::close(fd);
}

TEST(TcpTableTest, ListsAnIPv6ListenerWithItsAddress) {
  const int listener = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  const TcpSocket wanted{ntohs(address.sin6_port), 0, kTcpListen, inodeOf(listener), "::1"};
  const std::vector<TcpSocket> sockets = tcpSockets();
  EXPECT_NE(std::find(sockets.begin(), sockets.end(), wanted), sockets.end());
  ::close(listener);
}

}  // namespace
}  // namespace varn::support
