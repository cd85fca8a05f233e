// Listening, accepting within the connection limit, and stopping within the time allowed.
#include "mwld/server.h"

#include <asio/ip/v6_only.hpp>
#include <csignal>
#include <utility>

#include "mwld/command_line.h"
#include "mwld/connection.h"
#include "platform.h"

namespace {

// From the first stop request to abandoning what is still open; the committer gets a little
// longer, and the process has ended within 10 s.
constexpr std::chrono::seconds kStopLimit{9};
constexpr std::chrono::milliseconds kAcceptRetry{100};

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

Server::Server(asio::io_context& io, asio::ip::tcp::acceptor acceptor, Committer& committer,
               ServeSettings settings)
    : io_(io),
      acceptor_(std::move(acceptor)),
      signals_(io, SIGINT, SIGTERM),
      retry_timer_(io),
      stop_timer_(io),
      committer_(committer),
      settings_(std::move(settings)),
      ack_id_prefix_(id_prefix()) {}

void Server::start() {
  signals_.async_wait([this](const std::error_code& error, int) {
    if (!error) stop();
  });
  accept();
}

void Server::accept() {
  acceptor_.async_accept([this](const std::error_code& error, asio::ip::tcp::socket socket) {
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
    std::error_code failure;
    const asio::ip::tcp::endpoint peer = socket.remote_endpoint(failure);
    const std::string peer_text = failure ? "unknown peer" : endpoint_text(peer);
    if (connections_.size() >= settings_.max_connections) {
      write_log(
          settings_.log, LogLevel::problem,
          peer_text + " refused: " + std::to_string(connections_.size()) + " connections open");
      socket.close(failure);
    } else {
      // Each acknowledgement is one small write answering a request: send it at once.
      socket.set_option(asio::ip::tcp::no_delay(true), failure);
      const auto connection = std::make_shared<Connection>(std::move(socket), *this, peer_text);
      connections_.insert(connection);
      connection->start();
    }
    accept();
  });
}

void Server::stop() {
  if (stopping_) return;
  stopping_ = true;
  stop_deadline_ = std::chrono::steady_clock::now() + kStopLimit;
  write_log(settings_.log, LogLevel::routine, "stopping");
  std::error_code ignored;
  acceptor_.close(ignored);
  signals_.cancel(ignored);
  retry_timer_.cancel();
  committer_.stop();
  const std::set<std::shared_ptr<Connection>> open = connections_;
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
  connections_.erase(connection);
  if (stopping_ && connections_.empty()) stop_timer_.cancel();
}
