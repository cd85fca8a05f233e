// One MLLP connection: moves bytes between its socket, the framer, the frame handler, the
// committer and the acknowledgements; owns the connection's time limits.
#pragma once

#include <array>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "mwld/ack.h"
#include "mwld/committer.h"
#include "mwld/deadline.h"
#include "mwld/frame_handler.h"
#include "mwld/log.h"
#include "mwld/mllp.h"

class Server;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // `peer` names the other end in the log.
  Connection(asio::ip::tcp::socket socket, Server& server, std::string peer);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Starts reading frames.
  void start();

  // The server stops: a connection waiting for bytes closes now; one whose message is being
  // committed or answered closes once the acknowledgement is sent, or once its message is
  // dropped.
  void stop();

 private:
  using Clock = ConnectionClock;
  using State = ConnectionState;

  void read();
  void process();
  void on_frame();
  void on_too_long();
  void on_committed(CommitOutcome outcome);
  // Logs the message's line (its outcome, the entry files it changed and `reasons`) and sends
  // the acknowledgement saying `answer`.
  void answer(const Answer& answer, std::string_view outcome, std::string_view entries,
              std::string_view reasons);
  void on_written(const std::error_code& error);
  void drain();
  void drop_input();
  void close(std::string_view why, LogLevel level);

  // The time limit of the present state, and the timer that enforces it.
  Due due() const;
  void wait_for_due();
  void on_due();
  void bring_due_forward();

  asio::ip::tcp::socket socket_;
  asio::steady_timer timer_;
  Server& server_;
  const std::string peer_;
  State state_ = State::reading;
  bool stopping_ = false;
  bool after_too_long_ = false;

  std::array<char, 16384> buffer_;
  std::string_view unread_;  // bytes of buffer_ the framer has not read yet
  MllpFramer framer_;
  Received received_;  // the frame being answered
  std::string ack_;    // the frame being written
  std::size_t messages_ = 0;

  Clock::time_point idle_due_;  // as in ConnectionTimes
  Clock::time_point frame_due_;
  Clock::time_point write_due_;
  Clock::time_point drain_due_;
  Clock::time_point frame_arrived_;  // for the log: when the frame being answered was complete
};
