// serve's listening side: the acceptor, the signals that stop it, and the open connections.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mwld/command_line.h"
#include "mwld/committer.h"
#include "mwld/entry.h"
#include "mwld/log.h"

class Connection;

// What every connection of one server works with.
struct ServeSettings {
  MappingOptions mapping;  // its date and time set at each message's arrival
  std::size_t max_message = 0;
  std::chrono::seconds idle_timeout{0};
  std::size_t max_connections = 0;
  std::size_t max_connections_per_peer = 0;  // from one address
  std::vector<Network> allow;                // empty: every address
  Log log;
  std::optional<std::chrono::seconds> expire_after;  // nothing: entries never expire
};

// Opens, binds and listens on `address` (HOST:PORT, HOST an IPv4 address, an IPv6 address in
// brackets or a name resolved now, of which the first address is taken). IPv6 sockets take
// IPv4 connections too. False with the system's error text in `error`.
bool listen_on(const std::string& address, asio::ip::tcp::acceptor& acceptor, std::string& error);

// The address as a log names it: "127.0.0.1:2575", "[::1]:2575".
std::string endpoint_text(const asio::ip::tcp::endpoint& endpoint);

// An IPv4 address as a dual-stack socket reports it (::ffff:a.b.c.d) as the IPv4 address;
// any other address as it is.
asio::ip::address plain_address(const asio::ip::address& address);

class Server {
 public:
  // Serves on `acceptor`, which listens already, handing messages to `committer`.
  Server(asio::io_context& io, asio::ip::tcp::acceptor acceptor, Committer& committer,
         ServeSettings settings);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts accepting, waiting for SIGINT and SIGTERM, and logging the signals it ignores;
  // expires entries now and then hourly when the settings ask for it.
  void start();

  // Stops: closes the acceptor, logs the refusals not logged yet, drops the messages no commit
  // has taken, closes idle connections; a connection whose message is being committed closes once
  // it has sent the acknowledgement. Whatever is still open when the time for stopping is up is
  // abandoned and the io_context stopped.
  void stop();

  // When stop() was first called, plus the time allowed for stopping.
  std::chrono::steady_clock::time_point stop_deadline() const { return stop_deadline_; }

  // Replaces the settings from the next message and the next connection on (a profile read
  // again); open connections keep their frame limit.
  void replace_settings(ServeSettings settings) { settings_ = std::move(settings); }

  // Runs `reload` on the io_context at each reload signal (SIGHUP) until the server stops.
  void on_reload(std::function<void()> reload) { reload_ = std::move(reload); }

  // For the connections.
  const ServeSettings& settings() const { return settings_; }
  Committer& committer() { return committer_; }
  std::string next_ack_id();
  void connection_closed(const std::shared_ptr<Connection>& connection);

 private:
  // Connections refused from one address since its last log line, which is at most a second
  // old.
  struct Refusals {
    std::chrono::steady_clock::time_point logged;
    std::size_t unlogged = 0;
    std::string reason;  // of the last one
  };

  void accept();
  // Serves or refuses the connection accepted from `accepted_peer_`, then accepts the next.
  void on_accepted(const std::error_code& error, asio::ip::tcp::socket socket);
  // Why a connection from `address` is not served; empty when it is.
  std::string refusal(const asio::ip::address& address) const;
  // Closes `socket` and logs the refusal, at most one line a second per address.
  void refuse(asio::ip::tcp::socket& socket, const asio::ip::address& address,
              const std::string& peer, const std::string& reason);
  // Hands an expiry pass to the committer and waits an hour for the next.
  void expire();
  void wait_for_notices();
  void wait_for_reloads();
  void wait_for_refusals();
  // Logs each address's refusals not logged yet whose last line is a second old or older (all
  // of them with `all`), and forgets the addresses without any.
  void log_refusals(bool all);

  asio::io_context& io_;
  asio::ip::tcp::acceptor acceptor_;
  asio::ip::tcp::endpoint accepted_peer_;  // the peer of the connection being accepted
  asio::signal_set signals_;
  asio::signal_set notices_;        // signals that are logged and otherwise ignored
  asio::steady_timer retry_timer_;  // after a failed accept, e.g. out of descriptors
  asio::steady_timer stop_timer_;
  asio::steady_timer refusal_timer_;  // runs while `refusals_` is not empty
  asio::steady_timer expiry_timer_;
  Committer& committer_;
  ServeSettings settings_;
  asio::signal_set reloads_;
  std::function<void()> reload_;
  std::map<std::shared_ptr<Connection>, asio::ip::address> connections_;
  std::map<asio::ip::address, std::size_t> per_address_;  // open connections
  std::map<asio::ip::address, Refusals> refusals_;
  std::string ack_id_prefix_;
  std::uint64_t ack_count_ = 0;
  bool stopping_ = false;
  std::chrono::steady_clock::time_point stop_deadline_ =
      std::chrono::steady_clock::time_point::max();
};
