// Listening, accepting the allowed peers within the connection limits, and stopping within the
// time allowed.
#include "mwld/server.h"

#include <algorithm>
#include <asio/ip/v6_only.hpp>
#include <csignal>
#include <ctime>
#include <string_view>
#include <utility>

#include "mwld/command_line.h"
#include "mwld/connection.h"
#include "mwld/expiry.h"
#include "platform.h"

namespace {

// From the first stop request to abandoning what is still open; the committer gets a little
// longer, and the process has ended within 10 s.
constexpr std::chrono::seconds kStopLimit{9};
constexpr std::chrono::milliseconds kAcceptRetry{100};
// Refused connections are logged at most once in this time per address.
constexpr std::chrono::seconds kRefusalLogInterval{1};
constexpr std::chrono::hours kExpiryInterval{1};
// Removals by expiry under one lock, so that queries are not kept waiting.
constexpr std::size_t kExpiryBatch = 1000;

// One pass of expiry on the committer's thread, `more` passes queued behind the messages that
// came meanwhile until none is left; a log line per entry removed.
void expire_pass(Committer& committer, Folder& folder, WorklistIndex& index,
                 std::chrono::seconds duration, const Log& log, bool first) {
  ExpiryResult result;
  std::string error;
  const bool expired = expire_entries(folder, index, duration, std::time(nullptr), kExpiryBatch,
                                      false, result, error);
  for (const ExpiredEntry& entry : result.removed) {
    write_log(log, LogLevel::routine, "removed " + entry.name + " " + entry.reason);
  }
  if (first && !result.kept.empty()) write_log(log, LogLevel::routine, kept_text(result.kept));
  if (!expired) write_log(log, LogLevel::problem, "expiry stopped: " + error);
  if (!expired || !result.more) return;
  committer.submit_task([&committer, duration, log](Folder& next, WorklistIndex& next_index) {
    expire_pass(committer, next, next_index, duration, log, false);
  });
}

// The start of the acknowledgements' control IDs: the start time in microseconds, ten base-36
// digits (enough until 2084), so that IDs differ from every earlier run's.
std::string id_prefix() {
  constexpr std::string_view kDigits = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  auto micros = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                               std::chrono::system_clock::now().time_since_epoch())
                                               .count());
  std::string prefix(10, '0');
  for (std::size_t i = prefix.size(); i-- > 0; micros /= 36) prefix[i] = kDigits[micros % 36];
  return prefix;
}

// The address as --allow networks hold it: IPv4 as IPv4-mapped IPv6.
AddressBytes address_bytes(const asio::ip::address& address) {
  if (address.is_v6()) return address.to_v6().to_bytes();
  return asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
}

}  // namespace

bool listen_on(const std::string& address, asio::ip::tcp::acceptor& acceptor, std::string& error) {
  std::string host;
  std::string port;
  if (!split_listen_address(address, host, port)) {
    error = "not HOST:PORT";
    return false;
  }
  asio::error_code failure;
  asio::ip::tcp::resolver resolver(acceptor.get_executor());
  const asio::ip::tcp::resolver::results_type results =
      resolver.resolve(host, port, asio::ip::tcp::resolver::numeric_service, failure);
  if (!failure && results.empty()) failure = asio::error::host_not_found;
  if (failure) {
    error = failure.message();
    return false;
  }
  const asio::ip::tcp::endpoint endpoint = results.begin()->endpoint();
  acceptor.open(endpoint.protocol(), failure);
  if (!failure && endpoint.protocol() == asio::ip::tcp::v6()) {
    acceptor.set_option(asio::ip::v6_only(false), failure);
  }
  if (!failure && reuse_listening_address()) {
    acceptor.set_option(asio::socket_base::reuse_address(true), failure);
  }
  if (!failure) acceptor.bind(endpoint, failure);
  if (!failure) acceptor.listen(asio::socket_base::max_listen_connections, failure);
  if (failure) {
    error = failure.message();
    std::error_code ignored;
    acceptor.close(ignored);
    return false;
  }
  return true;
}

std::string endpoint_text(const asio::ip::tcp::endpoint& endpoint) {
  const std::string address = endpoint.address().to_string();
  const std::string port = std::to_string(endpoint.port());
  return endpoint.address().is_v6() ? "[" + address + "]:" + port : address + ":" + port;
}

asio::ip::address plain_address(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

Server::Server(asio::io_context& io, asio::ip::tcp::acceptor acceptor, Committer& committer,
               ServeSettings settings)
    : io_(io),
      acceptor_(std::move(acceptor)),
      signals_(io, SIGINT, SIGTERM),
      notices_(io),
      retry_timer_(io),
      stop_timer_(io),
      refusal_timer_(io),
      expiry_timer_(io),
      committer_(committer),
      settings_(std::move(settings)),
      reloads_(io),
      ack_id_prefix_(id_prefix()) {}

void Server::start() {
  signals_.async_wait([this](const std::error_code& error, int) {
    if (!error) stop();
  });
  for (const IgnoredSignal& ignored : ignored_signals()) {
    std::error_code failure;
    notices_.add(ignored.number, failure);
    if (failure) {
      write_log(settings_.log, LogLevel::problem,
                std::string("cannot catch ") + ignored.name + ": " + failure.message());
    }
  }
  wait_for_notices();
  if (reload_signal() != 0) {
    std::error_code failure;
    reloads_.add(reload_signal(), failure);
    if (failure) {
      write_log(settings_.log, LogLevel::problem,
                "cannot catch the reload signal: " + failure.message());
    }
    wait_for_reloads();
  }
  accept();
  expire();
}

void Server::expire() {
  if (settings_.expire_after) {
    // The task runs on the committer's thread: it takes copies, nothing of the server.
    committer_.submit_task([&committer = committer_, duration = *settings_.expire_after,
                            log = settings_.log](Folder& folder, WorklistIndex& index) {
      expire_pass(committer, folder, index, duration, log, true);
    });
  }
  // The settings may gain or lose expiry at a reload; the timer asks them again each hour.
  expiry_timer_.expires_after(kExpiryInterval);
  expiry_timer_.async_wait([this](const std::error_code& cancelled) {
    if (!cancelled) expire();
  });
}

void Server::wait_for_reloads() {
  reloads_.async_wait([this](const std::error_code& error, int) {
    if (error || stopping_) return;
    if (reload_) reload_();
    wait_for_reloads();
  });
}

void Server::wait_for_notices() {
  notices_.async_wait([this](const std::error_code& error, int number) {
    if (error || stopping_) return;
    for (const IgnoredSignal& ignored : ignored_signals()) {
      if (ignored.number == number) {
        write_log(settings_.log, LogLevel::routine, std::string(ignored.name) + " ignored");
      }
    }
    wait_for_notices();
  });
}

void Server::accept() {
  // The peer's endpoint comes with the accept: asking the socket afterwards fails once the
  // peer has reset the connection.
  acceptor_.async_accept(accepted_peer_,
                         [this](const std::error_code& error, asio::ip::tcp::socket socket) {
                           on_accepted(error, std::move(socket));
                         });
}

void Server::on_accepted(const std::error_code& error, asio::ip::tcp::socket socket) {
  if (stopping_) return;
  if (error) {
    // Out of descriptors, for instance: try again shortly rather than at once.
    write_log(settings_.log, LogLevel::problem,
              "accepting a connection failed: " + error.message());
    retry_timer_.expires_after(kAcceptRetry);
    retry_timer_.async_wait([this](const std::error_code& cancelled) {
      if (!cancelled && !stopping_) accept();
    });
    return;
  }
  const asio::ip::address address = plain_address(accepted_peer_.address());
  const std::string peer = endpoint_text({address, accepted_peer_.port()});
  const std::string reason = refusal(address);
  if (!reason.empty()) {
    refuse(socket, address, peer, reason);
  } else {
    // Each acknowledgement is one small write answering a request: send it at once.
    std::error_code ignored;
    socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    const auto connection = std::make_shared<Connection>(std::move(socket), *this, peer);
    connections_.emplace(connection, address);
    ++per_address_[address];
    connection->start();
  }
  accept();
}

std::string Server::refusal(const asio::ip::address& address) const {
  if (!settings_.allow.empty()) {
    const AddressBytes bytes = address_bytes(address);
    if (std::none_of(settings_.allow.begin(), settings_.allow.end(),
                     [&bytes](const Network& network) { return in_network(network, bytes); })) {
      return "not in an allowed network";
    }
  }
  if (connections_.size() >= settings_.max_connections) {
    return std::to_string(connections_.size()) + " connections open";
  }
  const auto from_peer = per_address_.find(address);
  if (from_peer != per_address_.end() && from_peer->second >= settings_.max_connections_per_peer) {
    return std::to_string(from_peer->second) + " connections open from this address";
  }
  return {};
}

void Server::refuse(asio::ip::tcp::socket& socket, const asio::ip::address& address,
                    const std::string& peer, const std::string& reason) {
  std::error_code ignored;
  socket.close(ignored);
  const auto [refusals, first] = refusals_.try_emplace(address);
  if (!first) {
    ++refusals->second.unlogged;
    refusals->second.reason = reason;
    return;
  }
  refusals->second.logged = std::chrono::steady_clock::now();
  write_log(settings_.log, LogLevel::problem, peer + " refused: " + reason);
  if (refusals_.size() == 1) wait_for_refusals();  // else the timer runs already
}

void Server::wait_for_refusals() {
  refusal_timer_.expires_after(kRefusalLogInterval);
  refusal_timer_.async_wait([this](const std::error_code& cancelled) {
    if (!cancelled) log_refusals(false);
  });
}

void Server::log_refusals(bool all) {
  const auto now = std::chrono::steady_clock::now();
  for (auto at = refusals_.begin(); at != refusals_.end();) {
    Refusals& refusals = at->second;
    if (!all && now - refusals.logged < kRefusalLogInterval) {
      ++at;
    } else if (refusals.unlogged > 0) {
      write_log(settings_.log, LogLevel::problem,
                at->first.to_string() + " refused " + std::to_string(refusals.unlogged) +
                    " more connections since the last line: " + refusals.reason);
      refusals = {now, 0, {}};
      ++at;
    } else {
      at = refusals_.erase(at);
    }
  }
  if (!all && !refusals_.empty()) wait_for_refusals();
}

void Server::stop() {
  if (stopping_) return;
  stopping_ = true;
  stop_deadline_ = std::chrono::steady_clock::now() + kStopLimit;
  write_log(settings_.log, LogLevel::routine, "stopping");
  std::error_code ignored;
  acceptor_.close(ignored);
  signals_.cancel(ignored);
  notices_.cancel(ignored);
  reloads_.cancel(ignored);
  retry_timer_.cancel();
  refusal_timer_.cancel();
  expiry_timer_.cancel();
  log_refusals(true);
  committer_.stop();
  std::vector<std::shared_ptr<Connection>> open;
  for (const auto& [connection, address] : connections_) open.push_back(connection);
  for (const std::shared_ptr<Connection>& connection : open) connection->stop();
  if (connections_.empty()) return;
  stop_timer_.expires_at(stop_deadline_);
  stop_timer_.async_wait([this](const std::error_code& cancelled) {
    if (cancelled) return;
    write_log(settings_.log, LogLevel::problem,
              "stopped with " + std::to_string(connections_.size()) +
                  " connections still waiting for their commit");
    io_.stop();
  });
}

std::string Server::next_ack_id() { return ack_id_prefix_ + std::to_string(++ack_count_); }

void Server::connection_closed(const std::shared_ptr<Connection>& connection) {
  const auto closed = connections_.find(connection);
  if (closed == connections_.end()) return;
  const auto from_peer = per_address_.find(closed->second);
  if (from_peer != per_address_.end() && --from_peer->second == 0) per_address_.erase(from_peer);
  connections_.erase(closed);
  if (stopping_ && connections_.empty()) stop_timer_.cancel();
}
