// Tokens of split_on: empty tokens, the final delimiter, and 8-bit bytes.
#include "hl7/split_on.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Tokens = std::vector<std::string>;

TEST(SplitOn, TokenTable) {
  struct Case {
    std::string text;
    Tokens tokens;
  };
  const Case cases[] = {
      {"", {}},
      {"abc", {"abc"}},
      {"a^b", {"a", "b"}},
      {"a^^b", {"a", "", "b"}},
      {"a^", {"a"}},
      {"a^^", {"a", ""}},
      {"a^b^", {"a", "b"}},
      {"^a", {"", "a"}},
      {"^", {""}},
      {"^^", {"", ""}},
      {"^^^", {"", "", ""}},
      {std::string("a\0b^\x80\xff", 6), {std::string("a\0b", 3), "\x80\xff"}},
      {"x|y^z|", {"x|y", "z|"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("text: " + c.text);
    EXPECT_EQ(split_on(c.text, '^'), c.tokens);
  }
}

TEST(SplitOn, AppendsAfterExistingTokens) {
  Tokens tokens{"kept"};
  split_on("|x||", '|', tokens);
  EXPECT_EQ(tokens, (Tokens{"kept", "", "x", ""}));
}

}  // namespace
