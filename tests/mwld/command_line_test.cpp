// The --listen address: host and port, bracketed IPv6, and the forms refused.
#include "mwld/command_line.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
