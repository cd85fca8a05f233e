// A site's profile: what each table sets, and the place and words of each problem.
#include "mwld/profile.h"

#include <gtest/gtest.h>

#include <string>

#include "temp_folder.h"

namespace {

// What a profile sets, one "name=value" a line in a fixed order; unset settings left out.
std::string summary(const Profile& p) {
  std::string text;
  for (const auto& [path, sources] : p.sources) {
    text += path + "=";
    for (const Source& source : sources) text += source_text(source) + ",";
    text += "\n";
  }
  for (const auto& [sender, modality] : p.modalities)
    text += "modality " + sender + "=" + modality + "\n";
  if (p.station_aets) {
    for (const std::string& value : *p.station_aets) text += "station " + value + "\n";
  }
  auto add = [&text](const std::string& name, const auto& setting) {
    if (setting) text += name + "=" + std::to_string(*setting) + "\n";
  };
  add("utf8", p.utf8);
  add("refuse_long_identifiers", p.refuse_long_identifiers);
  add("max_entries", p.max_entries);
  if (p.listen) text += "listen=" + *p.listen + "\n";
  if (p.allow) {
    for (const std::string& network : *p.allow) text += "allow " + network + "\n";
  }
  add("max_message", p.max_message);
  add("idle_timeout", p.idle_timeout);
  add("max_connections", p.max_connections);
  add("max_connections_per_peer", p.max_connections_per_peer);
  add("quiet", p.quiet);
  if (p.expire_after) text += "expire_after=" + *p.expire_after + "\n";
  return text;
}

TEST(ReadProfile, SettingsAndProblems) {
  struct Case {
    std::string label;
    std::string toml;
    std::string expected;  // the summary, or "error: " and the text after the file's name
  };
  // clang-format off
  const Case cases[] = {
      {"every table",
       "[sources]\nAccessionNumber = [\"OBR-18\", \"ORC-3.1\"]\nPatientID = \"PID-3[authority=HOSP].1\"\n"
       "[modality]\nxr = \"DX\"\n[station_aet]\nCT = \"CT01\"\n\"*\" = \"ANY\"\n"
       "[options]\ncharset = \"utf8\"\nlong_identifiers = \"refuse\"\nmax_entries = 7\n"
       "[serve]\nlisten = \"[::]:2575\"\nallow = [\"10.0.0.0/8\", \"::1\"]\nmax_message = 4096\n"
       "idle_timeout = 60\nmax_connections = 9\nmax_connections_per_peer = 3\nquiet = true\n"
       "[lifecycle]\nexpire_after = \"7d\"\n",
       "AccessionNumber=OBR-18,ORC-3.1,\nPatientID=PID-3[authority=HOSP].1,\nmodality XR=DX\n"
       "station ANY\nstation CT=CT01\nutf8=1\nrefuse_long_identifiers=1\nmax_entries=7\n"
       "listen=[::]:2575\nallow 10.0.0.0/8\nallow ::1\nmax_message=4096\nidle_timeout=60\n"
       "max_connections=9\nmax_connections_per_peer=3\nquiet=1\nexpire_after=7d\n"},
      {"empty file", "", ""},
      {"keep", "[options]\ncharset = \"keep\"\nlong_identifiers = \"keep\"\n",
       "utf8=0\nrefuse_long_identifiers=0\n"},
      {"no TOML", "[options\n", "error: 1:9: Error while parsing table header: expected ']', saw '\\n'"},
      {"unknown table", "[mapping]\nx = 1\n",
       "error: 1:2: unknown table [mapping] (sources, modality, station_aet, options, serve, lifecycle)"},
      {"a table that is none", "options = 1\n", "error: 1:11: options is a table: [options]"},
      {"source not a string", "[sources]\nAccessionNumber = 18\n",
       "error: 2:19: AccessionNumber is a string or an array of strings"},
      {"array of other things", "[sources]\nAccessionNumber = [\"OBR-18\", 18]\n",
       "error: 2:30: AccessionNumber holds strings only"},
      {"a row without sources", "[sources]\nPatientWeight = \"OBX-5\"\n",
       "error: 2:1: unknown keyword PatientWeight (a row of the mapping table that reads sources, "
       "e.g. AccessionNumber or RequestedProcedureCodeSequence.CodeValue)"},
      {"modality not a CS value", "[modality]\nXR = \"D X!\"\n",
       "error: 2:6: a sender code = a DICOM modality of 1 to 16 characters A-Z, 0-9, _, as XR = \"DX\""},
      {"AE title too long", "[station_aet]\nCT = \"ABCDEFGHIJKLMNOPQ\"\n",
       "error: 2:6: an AE title of 1 to 16 characters, no \"\\\""},
      {"no modality before the AE title", "[station_aet]\n\"\" = \"X\"\n",
       "error: 2:1: a modality, or \"*\" for every other one"},
      {"unknown option", "[options]\ncharset_x = 1\n",
       "error: 2:1: unknown option charset_x (charset, long_identifiers, max_entries)"},
      {"long_identifiers", "[options]\nlong_identifiers = \"cut\"\n",
       "error: 2:20: long_identifiers is \"refuse\" or \"keep\""},
      {"max_entries 0", "[options]\nmax_entries = 0\n", "error: 2:15: max_entries is a whole number from 1"},
      {"max_entries a text", "[options]\nmax_entries = \"9\"\n",
       "error: 2:15: max_entries is a whole number from 1"},
      {"unknown serve setting", "[serve]\nworklist = \"/x\"\n",
       "error: 2:1: unknown setting worklist (listen, allow, max_message, idle_timeout, "
       "max_connections, max_connections_per_peer, quiet)"},
      {"listen without a port", "[serve]\nlisten = \"0.0.0.0\"\n",
       "error: 2:10: listen is HOST:PORT or [IPV6]:PORT, the port from 0 to 65535"},
      {"listen not a string", "[serve]\nlisten = 2575\n", "error: 2:10: listen is a string"},
      {"allow: its bad network named where it stands", "[serve]\nallow = [\"10.0.0.0/8\", \"10.0.0.1/8\"]\n",
       "error: 2:24: allow 10.0.0.1/8: bits set beyond the first 8; the network is 10.0.0.0/8"},
      {"quiet not true or false", "[serve]\nquiet = \"yes\"\n", "error: 2:9: quiet is true or false"},
      {"unknown lifecycle setting", "[lifecycle]\nexpire = \"7d\"\n",
       "error: 2:1: unknown setting expire (expire_after)"},
  };
  // clang-format on
  const TempFolder temp;
  const std::string path = temp / "site.toml";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(path, c.toml);
    Profile profile;
    std::string error;
    const bool read = read_profile(path, profile, error);
    EXPECT_EQ(read ? summary(profile) : "error: " + error.substr(error.find(':', path.size()) + 1),
              c.expected);
  }
  Profile profile;
  std::string error;
  EXPECT_FALSE(read_profile(temp / "missing.toml", profile, error));
  EXPECT_EQ(error.substr(error.rfind(':')), ": No such file or directory");
}

}  // namespace
