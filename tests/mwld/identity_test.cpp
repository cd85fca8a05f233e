// Entry file names and derived UIDs.
#include "mwld/identity.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "mwld/values.h"

namespace {

bool only_name_characters(const std::string& name) {
  for (char c : name) {
    const bool allowed = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                         (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!allowed) return false;
  }
  return true;
}

std::string lower_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(EntryFileName, EncodedParts) {
  struct Case {
    std::string label;
    Identity identity;
    std::string expected;
  };
  // clang-format off
  const Case cases[] = {
      {"plain", {"A103Z", "RP1", "SPS1", 0}, "hl7mwld-A103Z__RP1__SPS1.wl"},
      {"dots and dashes kept", {"003626.0004-1", "R", "S", 0}, "hl7mwld-003626.0004-1__R__S.wl"},
      {"position", {"A", "R", "S", 2}, "hl7mwld-A__R__S__2.wl"},
      {"lower case encoded", {"ab", "R", "S", 0}, "hl7mwld-_61_62__R__S.wl"},
      {"underscore encoded", {"A_B", "R", "S", 0}, "hl7mwld-A_5FB__R__S.wl"},
      {"parent folder", {"../x", "R", "S", 0}, "hl7mwld-.._2F_78__R__S.wl"},
      {"slashes and colon", {"a/b\\c:", "R", "S", 0},
       "hl7mwld-_61_2F_62_5C_63_3A__R__S.wl"},
      {"NUL and a blank", {std::string("A\0 B", 4), "R", "S", 0},
       "hl7mwld-A_00_20B__R__S.wl"},
      {"UTF-8 bytes", {"\xC3\xBC", "R", "S", 0}, "hl7mwld-_C3_BC__R__S.wl"},
      {"empty order number", {"", "ACC1", "ACC1", 0}, "hl7mwld-__ACC1__ACC1.wl"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(entry_file_name(c.identity), c.expected);
  }
}

TEST(EntryFileName, LongIdentitiesAreHashed) {
  const std::string long_number(300, '7');
  for (const Identity& identity :
       {Identity{long_number, "R", "S", 0}, Identity{long_number, "R", "S", 1},
        Identity{"A", std::string(120, 'R'), "S", 0}}) {
    SCOPED_TRACE(identity.order_number.size() + identity.requested_procedure_id.size());
    const std::string name = entry_file_name(identity);
    EXPECT_EQ(name.size(), 8u + 64u + 3u);
    EXPECT_TRUE(name.starts_with("hl7mwld-"));
    EXPECT_TRUE(name.ends_with(".wl"));
    EXPECT_EQ(name.find("__"), std::string::npos);
    EXPECT_TRUE(only_name_characters(name));
    EXPECT_EQ(name, entry_file_name(identity));
  }
}

// Identities that differ in any part, in case only, in where the parts split, or in position
// get names that differ even where file names ignore case, and UIDs that differ.
TEST(EntryFileName, DistinctIdentitiesDistinctNamesAndUids) {
  // clang-format off
  const Identity identities[] = {
      {"A", "B", "C", 0},       {"a", "B", "C", 0},       {"A", "b", "C", 0},
      {"A_", "B", "C", 0},      {"A", "_B", "C", 0},      {"A__B", "", "C", 0},
      {"A", "B", "C", 1},       {"A", "B", "C", 2},       {"A", "B", "C__2", 0},
      {"", "", "", 0},          {"A", "BC", "", 0},       {"AB", "C", "", 0},
      {"A", "B", "C_5F", 0},    {"A", "B", "C_", 0},      {std::string(300, 'x'), "", "", 0},
      {std::string(300, 'X'), "", "", 0},                 {"A B", "B", "C", 0},
      {"A_20B", "B", "C", 0},
  };
  // clang-format on
  std::set<std::string> names, folded_names, study_uids, instance_uids;
  for (const Identity& identity : identities) {
    const std::string name = entry_file_name(identity);
    EXPECT_LE(name.size(), 128u) << name;
    EXPECT_TRUE(only_name_characters(name)) << name;
    names.insert(name);
    folded_names.insert(lower_case(name));
    study_uids.insert(derived_uid(identity, "study"));
    instance_uids.insert(derived_uid(identity, "instance"));
  }
  const std::size_t count = std::size(identities);
  EXPECT_EQ(names.size(), count);
  EXPECT_EQ(folded_names.size(), count);
  EXPECT_EQ(study_uids.size(), count);
  EXPECT_EQ(instance_uids.size(), count);
  for (const std::string& uid : study_uids) EXPECT_EQ(instance_uids.count(uid), 0u) << uid;
}

// A changed name or UID renames every site's entries, and the next XO of an order then writes a
// duplicate: these stay as they are, computed from the documented derivation (SHA-256 of the
// length-prefixed parts; a version 8 UUID read as one integer under 2.25).
TEST(StableIdentity, GoldenNamesAndUids) {
  const Identity plain{"A103Z", "RP1", "SPS1", 0};
  EXPECT_EQ(entry_file_name({std::string(300, '7'), "R", "S", 0}),
            "hl7mwld-018EC0ACA40D26C937BDF59BC2966FD544EF86C419BAF60AABFB5BAA0CA3264E.wl");
  EXPECT_EQ(entry_file_name({"A", std::string(120, 'R'), "S", 1}),
            "hl7mwld-E447B59F5CEB0EFA3532E24893D3E4BAAF2A5CED99C2FA5845565F4525074159.wl");
  EXPECT_EQ(derived_uid(plain, "study"), "2.25.1499908190365106938312089764264616091");
  EXPECT_EQ(derived_uid(plain, "instance"), "2.25.226434602163631157592749722722737712894");
  EXPECT_EQ(derived_uid({"", "ACC1", "ACC1", 2}, "study"),
            "2.25.54041685282367334667888945387367595594");
}

TEST(DerivedUid, UnderRoot225AndValid) {
  for (const Identity& identity :
       {Identity{"A103Z", "RP", "SPS", 0}, Identity{"", "", "", 0}, Identity{"x", "y", "z", 7}}) {
    const std::string uid = derived_uid(identity, "study");
    SCOPED_TRACE(uid);
    EXPECT_TRUE(uid.starts_with("2.25."));
    EXPECT_TRUE(is_valid_uid(uid));
    // A 128-bit number has at most 39 decimal digits.
    EXPECT_LE(uid.size(), 5u + 39u);
    EXPECT_EQ(uid, derived_uid(identity, "study"));
  }
}

}  // namespace
