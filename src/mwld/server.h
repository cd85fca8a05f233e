// serve's listening side: the acceptor, the signals that stop it, and the open connections.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "mwld/committer.h"
#include "mwld/entry.h"
#include "mwld/log.h"

class Connection;

// What every connection of one server works with.
struct ServeSettings {
  StationAets stations;
  std::size_t max_message = 0;
  std::size_t max_entries = 0;
  std::chrono::seconds idle_timeout{0};
  std::size_t max_connections = 0;
  Log log;
};

// Opens, binds and listens on `address` (HOST:PORT, HOST an IPv4 address, an IPv6 address in
// brackets or a name resolved now, of which the first address is taken). IPv6 sockets take
// IPv4 connections too. False with the system's error text in `error`.
bool listen_on(const std::string& address, asio::ip::tcp::acceptor& acceptor, std::string& error);

// The address as a log names it: "127.0.0.1:2575", "[::1]:2575".
std::string endpoint_text(const asio::ip::tcp::endpoint& endpoint);

class Server {
 public:
  // Serves on `acceptor`, which listens already, handing messages to `committer`.
  Server(asio::io_context& io, asio::ip::tcp::acceptor acceptor, Committer& committer,
         ServeSettings settings);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts accepting and waiting for SIGINT and SIGTERM.
  void start();

  // Stops: closes the acceptor, drops the messages no commit has taken, closes idle
  // connections; a connection whose message is being committed closes once it has sent the
  // acknowledgement. Whatever is still open when the time for stopping is up is abandoned and
  // the io_context stopped.
  void stop();

  // When stop() was first called, plus the time allowed for stopping.
  std::chrono::steady_clock::time_point stop_deadline() const { return stop_deadline_; }

  // For the connections.
  const ServeSettings& settings() const { return settings_; }
  Committer& committer() { return committer_; }
  std::string next_ack_id();
  void connection_closed(const std::shared_ptr<Connection>& connection);

 private:
  void accept();

  asio::io_context& io_;
  asio::ip::tcp::acceptor acceptor_;
  asio::signal_set signals_;
  asio::steady_timer retry_timer_;  // after a failed accept, e.g. out of descriptors
  asio::steady_timer stop_timer_;
  Committer& committer_;
  const ServeSettings settings_;
  std::set<std::shared_ptr<Connection>> connections_;
  std::string ack_id_prefix_;
  std::uint64_t ack_count_ = 0;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point stop_deadline_ =
      std::chrono::steady_clock::time_point::max();
};
