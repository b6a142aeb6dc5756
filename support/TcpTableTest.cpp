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
  EXPECT_TRUE(listed({port, 0, kTcpListen, inodeOf(listener)}));
  EXPECT_TRUE(listed({port, localPort(client), kTcpEstablished, inodeOf(accepted)}));
  EXPECT_TRUE(listed({localPort(client), port, kTcpEstablished, inodeOf(client)}));
  for (int fd : {accepted, client, listener}) ::close(fd);
}

}  // namespace
}  // namespace varn::support
