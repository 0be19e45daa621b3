// The allow list of a TCP line: which callers an entry lets in, and which texts are refused.
#include "platform/telephony/tcp_allow.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <cstring>

namespace quodem::telephony {
namespace {

sockaddr_storage Peer(const char* address) {
  sockaddr_storage storage{};
  if (std::strchr(address, ':') != nullptr) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    v6->sin6_family = AF_INET6;
    EXPECT_EQ(inet_pton(AF_INET6, address, &v6->sin6_addr), 1) << address;
  } else {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    v4->sin_family = AF_INET;
    EXPECT_EQ(inet_pton(AF_INET, address, &v4->sin_addr), 1) << address;
  }
  return storage;
}

TEST(TcpAllowList, MatchesAddressesAndNetworksOfBothFamilies) {
  struct Case {
    const char* list;
    const char* peer;
    bool allowed;
  };
  const Case cases[] = {
      {"", "203.0.113.9", true},  // empty: anyone
      {"  ", "2001:db8::1", true},
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"192.168.1.0/24", "192.168.1.255", true},
      {"192.168.1.0/24", "192.168.2.1", false},
      {"192.168.1.77/24", "192.168.1.3", true},  // host bits beyond the prefix are ignored
      {"10.0.0.0/12", "10.15.255.255", true},    // a prefix inside a byte
      {"10.0.0.0/12", "10.16.0.0", false},
      {"0.0.0.0/0", "198.51.100.1", true},
      {"0.0.0.0/0", "::1", false},  // an IPv4 network never lets an IPv6 caller in
      {"::1", "::1", true},
      {"[::1]", "::1", true},
      {"fd00::/8", "fdff:1::2", true},
      {"fd00::/8", "fe80::1", false},
      {"2001:db8::/33", "2001:db8:7fff::1", true},
      {"2001:db8::/33", "2001:db8:8000::1", false},
      {"127.0.0.1", "::ffff:127.0.0.1", true},    // an IPv4 caller on an IPv6 socket
      {"::ffff:10.0.0.0/104", "10.9.9.9", true},  // a mapped network is the IPv4 network
      {"::1", "127.0.0.1", false},
      {"127.0.0.1, 10.0.0.0/8,::1", "10.1.2.3", true},
      {"127.0.0.1, 10.0.0.0/8,::1", "11.1.2.3", false},
  };
  for (const Case& c : cases) {
    std::string problem;
    const std::optional<TcpAllowList> list = TcpAllowList::Parse(c.list, &problem);
    ASSERT_TRUE(list.has_value()) << c.list << ": " << problem;
    EXPECT_EQ(list->Allows(Peer(c.peer)), c.allowed) << c.list << " / " << c.peer;
  }
  sockaddr_storage unix_peer{};
  unix_peer.ss_family = AF_UNIX;
  std::string problem;
  EXPECT_FALSE(TcpAllowList::Parse("0.0.0.0/0", &problem)->Allows(unix_peer));
}

TEST(TcpAllowList, RefusesWhatIsNotAnAddressOrNetwork) {
  for (const char* bad :
       {"localhost", "127.0.0.1,", ",::1", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/x",
        "10.0.0/8", "fe80::1%lo", "127.0.0.1 10.0.0.1", "[127.0.0.1"}) {
    std::string problem;
    EXPECT_FALSE(TcpAllowList::Parse(bad, &problem).has_value()) << bad;
    EXPECT_NE(problem.find("192.168.1.0/24"), std::string::npos) << problem;
  }
}

}  // namespace
}  // namespace quodem::telephony
