// Load client for hl7mwld serve: each connection sends its share of a file's MLLP frames one at
// a time and waits for each acknowledgement, as a sending system does; prints one JSON line.
#include <sys/resource.h>

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kUsage =
    "usage: mllp_load HOST PORT CONNECTIONS FRAMES [SECONDS]\n"
    "  Connection k of CONNECTIONS sends frames k, k + CONNECTIONS, ... of the file FRAMES\n"
    "  (each 0x0B, a message, 0x1C 0x0D), one at a time, each after the acknowledgement of\n"
    "  the one before. Gives up after SECONDS (default 300) with status 1.\n";
constexpr std::string_view kFrameEnd = "\x1c\r";
constexpr std::string_view kAccepted = "\rMSA|AA|";

// What one connection saw.
struct Tally {
  std::vector<double> latencies_ms;
  std::size_t accepted = 0;
  std::string error;  // empty when every frame got an acknowledgement
};

// The frames of `bytes`, each from its 0x0B to its 0x1C 0x0D.
std::vector<std::string_view> frames_of(std::string_view bytes) {
  std::vector<std::string_view> frames;
  while (true) {
    const std::size_t start = bytes.find('\x0b');
    const std::size_t end = bytes.find(kFrameEnd, start);
    if (start == std::string_view::npos || end == std::string_view::npos) return frames;
    frames.push_back(bytes.substr(start, end + kFrameEnd.size() - start));
    bytes.remove_prefix(end + kFrameEnd.size());
  }
}

// Starts every connection's first frame at once, after all have connected.
struct StartLine {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t connected = 0;
  bool go = false;
  std::size_t finished = 0;
};

void run_connection(const asio::ip::tcp::endpoint& server,
                    const std::vector<std::string_view>& frames, std::size_t first,
                    std::size_t step, StartLine& line, Tally& tally) {
  asio::io_context io;
  asio::ip::tcp::socket socket(io);
  asio::error_code error;
  socket.connect(server, error);
  if (!error) socket.set_option(asio::ip::tcp::no_delay(true), error);
  {
    std::unique_lock<std::mutex> lock(line.mutex);
    ++line.connected;
    line.changed.notify_all();
    line.changed.wait(lock, [&line] { return line.go; });
  }
  std::string input;
  for (std::size_t i = first; !error && i < frames.size(); i += step) {
    const Clock::time_point sent = Clock::now();
    asio::write(socket, asio::buffer(frames[i]), error);
    if (error) break;
    const std::size_t size =
        asio::read_until(socket, asio::dynamic_buffer(input), kFrameEnd, error);
    if (error) break;
    tally.latencies_ms.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
    if (std::string_view(input).substr(0, size).find(kAccepted) != std::string_view::npos) {
      ++tally.accepted;
    }
    input.erase(0, size);
  }
  if (error) tally.error = error.message();
  const std::lock_guard<std::mutex> lock(line.mutex);
  ++line.finished;
  line.changed.notify_all();
}

// The value below which `share` of the sorted `values` lie (nearest rank).
double percentile(const std::vector<double>& values, double share) {
  if (values.empty()) return 0;
  const auto rank = static_cast<std::size_t>(share * static_cast<double>(values.size()) + 0.999999);
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int fail(const std::string& text) {
  std::fputs(("mllp_load: " + text + "\n").c_str(), stderr);
  return 1;
}

// A thread blocked on a server that never answers cannot be joined: ends the process.
[[noreturn]] void give_up(long limit) {
  fail("no end within " + std::to_string(limit) + " s");
  std::fflush(stderr);
  std::_Exit(1);
}

// Prints the run's line; 0 when every frame got an AA.
int report(const std::vector<Tally>& tallies, std::size_t frames, double seconds, double cpu) {
  std::vector<double> latencies;
  std::size_t accepted = 0;
  for (const Tally& tally : tallies) {
    if (!tally.error.empty()) return fail("connection failed: " + tally.error);
    latencies.insert(latencies.end(), tally.latencies_ms.begin(), tally.latencies_ms.end());
    accepted += tally.accepted;
  }
  std::sort(latencies.begin(), latencies.end());
  std::printf(
      "{\"connections\": %zu, \"messages\": %zu, \"accepted\": %zu, \"seconds\": %.6f, "
      "\"per_second\": %.1f, \"median_ms\": %.3f, \"p99_ms\": %.3f, \"max_ms\": %.3f, "
      "\"client_cpu_seconds\": %.3f}\n",
      tallies.size(), latencies.size(), accepted, seconds,
      static_cast<double>(latencies.size()) / seconds, percentile(latencies, 0.5),
      percentile(latencies, 0.99), latencies.back(), cpu);
  return accepted == frames ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) return fail(std::string(kUsage));
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  const std::size_t connections = std::strtoul(arguments[2].c_str(), nullptr, 10);
  const long limit = argc == 6 ? std::strtol(arguments[4].c_str(), nullptr, 10) : 300;
  std::ifstream file(arguments[3], std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  const std::vector<std::string_view> frames = frames_of(bytes);
  if (connections == 0 || frames.size() < connections || limit <= 0) {
    return fail("need at least one connection, one frame per connection and a time limit");
  }
  asio::error_code error;
  const asio::ip::address address = asio::ip::make_address(arguments[0], error);
  if (error) return fail(arguments[0] + ": " + error.message());
  const asio::ip::tcp::endpoint server(
      address, static_cast<unsigned short>(std::strtoul(arguments[1].c_str(), nullptr, 10)));

  StartLine line;
  std::vector<Tally> tallies(connections);
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < connections; ++k) {
    threads.emplace_back(run_connection, std::cref(server), std::cref(frames), k, connections,
                         std::ref(line), std::ref(tallies[k]));
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(limit);
  std::unique_lock<std::mutex> lock(line.mutex);
  if (!line.changed.wait_until(lock, deadline, [&] { return line.connected == connections; })) {
    give_up(limit);
  }
  const double cpu_before = cpu_seconds();
  const Clock::time_point start = Clock::now();
  line.go = true;
  line.changed.notify_all();
  if (!line.changed.wait_until(lock, deadline, [&] { return line.finished == connections; })) {
    give_up(limit);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = cpu_seconds() - cpu_before;
  lock.unlock();
  for (std::thread& thread : threads) thread.join();
  return report(tallies, frames.size(), seconds, cpu);
}
