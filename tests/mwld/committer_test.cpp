// The committer: messages applied in the order handed, each answered on the io_context, later
// messages dropped once it stops. Works in a real folder.
#include "mwld/committer.h"

#include <gtest/gtest.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mwld/frame_handler.h"
#include "temp_folder.h"

namespace {

std::string order(const std::string& control_id, const std::string& control,
                  const std::string& filler) {
  return "MSH|^~\\&|A|B|C|D|20240301120000||ORM^O01|" + control_id + "|P|2.5\r" +
         "PID|||P1||DOE^JOHN\rORC|" + control + "|" + filler + "P|" + filler + "\rOBR|1|" + filler +
         "P|" + filler + "|CT1^CT HEAD\r";
}

TEST(Committer, AppliesInOrderAndAnswersOnTheIoContext) {
  TempFolder dir;
  // A folder named like M4's second entry: M4 stops part-way, whatever its group.
  std::error_code ignored;
  std::filesystem::create_directory(dir / "hl7mwld-F2__R2__R2.wl", ignored);
  Folder folder;
  std::string error;
  ASSERT_TRUE(open_folder(dir.path, folder, error)) << error;
  asio::io_context io;
  Committer committer(io, std::move(folder), 2);

  // Each outcome depends on the message before: only applying them in order gives these.
  const std::string messages[] = {
      order("M1", "NW", "F1"), order("M2", "XO", "F1"), order("M3", "CA", "F1"),
      order("M4", "NW", "F2") + "OBR|2|F2P|F2|CT2^CT CHEST|||||||||||||||R2\r",
      order("M5", "NW", "F3")};
  const std::vector<std::string> expected = {"M1 created", "M2 replaced", "M3 removed",
                                             "M4 created not applied", "M5 dropped"};
  MappingOptions options;
  options.date = "20240101";
  options.time = "120000";
  const std::thread::id io_thread = std::this_thread::get_id();
  std::vector<std::string> seen;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  work.emplace(io.get_executor());
  // Hands message i; the answer to the last of a run lets io.run_for return.
  auto hand = [&](std::size_t i, bool last) {
    Received received = handle_frame(messages[i], options);
    ASSERT_FALSE(received.answer) << received.answer->reason.text;
    committer.submit(std::move(received.plan),
                     [&, last, id = received.control_id](CommitOutcome outcome) {
                       EXPECT_EQ(std::this_thread::get_id(), io_thread);
                       std::string line = id + ' ';
                       if (!outcome.taken) line += "dropped";
                       for (const OutcomeLine& l : outcome.result.lines)
                         line += outcome_word(l.outcome);
                       if (outcome.taken && !outcome.applied) line += " not applied";
                       seen.push_back(line);
                       if (last) work.reset();
                     });
  };
  for (std::size_t i = 0; i + 1 < std::size(messages); ++i) hand(i, i + 2 == std::size(messages));
  io.run_for(std::chrono::seconds(10));
  committer.stop();
  work.emplace(io.get_executor());
  hand(std::size(messages) - 1, true);
  io.restart();
  io.run_for(std::chrono::seconds(10));
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(committer.wait_until(std::chrono::steady_clock::now() + std::chrono::seconds(10)));

  std::vector<std::string> names;
  for (const auto& [name, bytes] : contents(dir.path)) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"hl7mwld-F2__F2__F2.wl", "hl7mwld-F2__R2__R2.wl",
                                             "hl7mwld-generation", "lockfile"}));
}

}  // namespace
