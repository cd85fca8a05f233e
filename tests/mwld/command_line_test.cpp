// The --listen address: host and port, bracketed IPv6, and the forms refused. The --allow
// networks: prefixes that end inside a byte, IPv4 peers of a dual-stack socket. Expiry's
// durations and where an entry's age crosses them.
#include "mwld/command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "mwld/expiry.h"

namespace {

TEST(SplitListenAddress, HostAndPort) {
  struct Case {
    std::string address;
    std::string expected;  // "host port", or "refused"
  };
  const Case cases[] = {
      {"127.0.0.1:2575", "127.0.0.1 2575"},
      {"0.0.0.0:0", "0.0.0.0 0"},
      {"[::]:2575", ":: 2575"},
      {"[fe80::1%eth0]:65535", "fe80::1%eth0 65535"},
      {"ris.example.org:104", "ris.example.org 104"},
      {"2575", "refused"},
      {":2575", "refused"},
      {"[]:2575", "refused"},
      {"::1:2575", "refused"},
      {"[::1:2575", "refused"},
      {"host:", "refused"},
      {"host:65536", "refused"},
      {"host:-1", "refused"},
      {"host:+1", "refused"},
      {"host:12ab", "refused"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    std::string host;
    std::string port;
    EXPECT_EQ(split_listen_address(c.address, host, port) ? host + ' ' + port : "refused",
              c.expected);
  }
}

TEST(Network, HoldsItsAddresses) {
  struct Case {
    std::string allow;
    std::string text;  // as the log names it
    std::string peer;
    bool in;
  };
  const Case cases[] = {
      {"127.0.0.0/8", "127.0.0.0/8", "127.255.0.2", true},
      {"127.0.0.1/32", "127.0.0.1/32", "127.0.0.2", false},
      {"127.0.0.1", "127.0.0.1/32", "::ffff:127.0.0.1", true},
      {"192.168.4.0/22", "192.168.4.0/22", "192.168.7.255", true},
      {"192.168.4.0/22", "192.168.4.0/22", "192.168.8.0", false},
      {"0.0.0.0/0", "0.0.0.0/0", "::1", false},
      {"2001:db8::/33", "2001:db8::/33", "2001:db8:7fff::1", true},
      {"2001:db8::/33", "2001:db8::/33", "2001:db8:8000::", false},
      {"::1", "::1/128", "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.allow + " " + c.peer);
    Network network;
    Network peer;
    ASSERT_EQ(read_network(c.allow, network), "");
    ASSERT_EQ(read_network(c.peer, peer), "");
    EXPECT_EQ(network_text(network), c.text);
    EXPECT_EQ(in_network(network, peer.address), c.in);
  }
}

TEST(ExpireAfter, DurationsAndAges) {
  struct Case {
    std::string duration;
    long long seconds;  // -1: refused
    long long age;      // of the entry at `now`, in seconds
    std::string status;
    bool expired;
  };
  const Case cases[] = {
      {"90m", 5400, 5400, "SCHEDULED", false},  // exactly DURATION old is kept
      {"90m", 5400, 5401, "SCHEDULED", true},
      {"36h", 129600, 129601, "STARTED", false},  // STARTED: twice as long
      {"36h", 129600, 259200, "STARTED", false},
      {"36h", 129600, 259201, "STARTED", true},
      {"7d", 604800, 604801, "", true},
      {"007d", 604800, -86400, "SCHEDULED", false},  // in the future
      {"0d", -1, 0, "", false},
      {"36", -1, 0, "", false},
      {"h", -1, 0, "", false},
      {"-1h", -1, 0, "", false},
      {"+1h", -1, 0, "", false},
      {"1.5h", -1, 0, "", false},
      {"1s", -1, 0, "", false},
      {"1H", -1, 0, "", false},
      {"1 h", -1, 0, "", false},
      {"4294967296m", -1, 0, "", false},
  };
  const std::time_t now = 1700000000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.duration + " " + std::to_string(c.age) + " " + c.status);
    std::chrono::seconds duration{};
    ASSERT_EQ(read_duration(c.duration, duration), c.seconds >= 0);
    if (c.seconds < 0) continue;
    EXPECT_EQ(duration.count(), c.seconds);
    EXPECT_EQ(has_expired(now - c.age, c.status, duration, now), c.expired);
  }
}

}  // namespace
