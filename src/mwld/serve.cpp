// hl7mwld serve: open the folder, listen, serve until asked to stop.
#include "mwld/serve.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mwld/committer.h"
#include "mwld/deadline.h"
#include "mwld/expiry.h"
#include "mwld/folder.h"
#include "mwld/log.h"
#include "mwld/server.h"
#include "platform.h"

namespace {

// A commit groups messages until they write this many entries, so that a query of the worklist
// server waits for at most about this many files. Each connection has one message in flight,
// so a group holds at most one message per connection anyway.
constexpr std::size_t kMaxGroup = 500;
// Time the committer gets beyond the server's stop deadline to end its last commit.
constexpr std::chrono::milliseconds kCommitterGrace{500};

constexpr int kFailed = 2;

int fail(const std::string& text) {
  write_error(text);
  return kFailed;
}

// What the server works with, for the log's first line after the address it listens on.
std::string settings_text(const CommandLine& line) {
  std::string text = "worklist " + line.worklist + "; allowed:";
  for (const Network& network : line.allow) text += ' ' + network_text(network);
  if (line.allow.empty()) text += " every address";
  text += "; at most " + std::to_string(line.max_connections) + " connections, " +
          std::to_string(line.max_connections_per_peer) + " per address; messages up to " +
          std::to_string(line.max_message) + " bytes and " + std::to_string(line.max_entries) +
          " entries; idle timeout " + std::to_string(line.idle_timeout) + " s, frame limit " +
          std::to_string(kFrameLimit.count()) + " s; station AE titles";
  for (const auto& [modality, title] : line.stations.by_modality) {
    text += ' ' + modality + '=' + title;
  }
  text += " other=" + line.stations.other;
  if (line.expire_after) text += "; expire after " + duration_text(*line.expire_after);
  return text;
}

// The end of the last log line: how many log lines could not be written, if any were.
std::string failed_lines_text() {
  const std::size_t failed = failed_log_lines();
  return failed == 0 ? "" : "; " + std::to_string(failed) + " log lines could not be written";
}

ServeSettings settings_of(const CommandLine& line) {
  return {mapping_options_of(line, 0),
          line.max_message,
          std::chrono::seconds(line.idle_timeout),
          line.max_connections,
          line.max_connections_per_peer,
          line.allow,
          Log{line.quiet},
          line.expire_after};
}

}  // namespace

int run_serve(const CommandLine& line, const CommandLine& given) {
  Folder folder;
  std::string error;
  if (!open_folder_and_clean_up(line.worklist, folder, error)) return fail(error);

  asio::io_context io;
  asio::ip::tcp::acceptor acceptor(io);
  if (!listen_on(line.listen, acceptor, error)) {
    return fail("cannot listen on " + line.listen + ": " + error);
  }
  ServeSettings settings = settings_of(line);
  std::error_code ignored;
  write_log(settings.log, LogLevel::routine,
            "listening on " + endpoint_text(acceptor.local_endpoint(ignored)) + ", " +
                settings_text(line));

  Committer committer(io, std::move(folder), kMaxGroup);
  // Read without the lock, so that queries go on meanwhile; the first commit's refresh under the
  // lock reads again what changed during it.
  committer.submit_task([log = settings.log](Folder& opened, WorklistIndex& index) {
    const auto start = std::chrono::steady_clock::now();
    std::string error;
    if (!build_index(opened, index, error)) {
      write_log(log, LogLevel::problem, "the folder could not be indexed: " + error);
      return;
    }
    // Reading 100,000 entries frees many small blocks: left as they are, sorting them cost the
    // first commit about 20 ms under the lock.
    tidy_free_memory();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", took.count());
    write_log(log, LogLevel::routine,
              "indexed " + std::to_string(index.entries.size()) + " entries in " + seconds + " s");
  });
  Server server(io, std::move(acceptor), committer, std::move(settings));
  server.on_reload([&server, &given, listen = line.listen] {
    CommandLine fresh = given;
    std::string error;
    if (fresh.profile.empty()) {
      write_log(server.settings().log, LogLevel::routine, "reload: no profile; the settings stay");
      return;
    }
    if (!apply_profile(fresh, error)) {
      write_log(server.settings().log, LogLevel::problem,
                "reload: the profile was not read (" + error + "); the settings stay");
      return;
    }
    server.replace_settings(settings_of(fresh));
    std::string text = "reload: profile " + fresh.profile + " read; " + settings_text(fresh);
    if (fresh.listen != listen) text += "; listen " + fresh.listen + " takes effect at a restart";
    write_log(server.settings().log, LogLevel::routine, text);
  });
  on_console_stop([&io, &server] { asio::post(io, [&server] { server.stop(); }); });
  server.start();
  io.run();
  on_console_stop({});

  server.stop();  // already stopping, unless the io_context ran out of work some other way
  if (!committer.wait_until(server.stop_deadline() + kCommitterGrace)) {
    // The folder keeps every entry whole whenever the process ends, so it may end now.
    write_log(server.settings().log, LogLevel::problem,
              "stopped while a commit was still running; its messages are not acknowledged" +
                  failed_lines_text());
    std::fflush(stderr);
    std::_Exit(0);
  }
  write_log(server.settings().log, LogLevel::routine, "stopped" + failed_lines_text());
  return 0;
}
