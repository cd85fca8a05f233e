// A connection's reads, frames, commits and acknowledgements, one frame at a time.
#include "mwld/connection.h"

#include <algorithm>
#include <asio/write.hpp>
#include <ctime>
#include <utility>
#include <vector>

#include "mwld/report.h"
#include "mwld/server.h"
#include "platform.h"

namespace {

// After a frame that was too long, the peer's further bytes are read and dropped this long, so
// that closing does not reset the connection before the peer has read the AR.
constexpr std::chrono::seconds kDrainLimit{1};

std::string hl7_now() {
  std::tm local{};
  std::tm utc{};
  calendar_fields(std::time(nullptr), local, utc);
  return hl7_time(local, utc);
}

// The outcome words of an applied message for the log, e.g. "created" or "replaced+removed".
std::string outcome_words(const MessageResult& result) {
  std::vector<std::string_view> words;
  for (const OutcomeLine& line : result.lines) {
    const std::string_view word = outcome_word(line.outcome);
    if (std::find(words.begin(), words.end(), word) == words.end()) words.push_back(word);
  }
  std::string text;
  for (const std::string_view word : words) {
    if (!text.empty()) text += '+';
    text += word;
  }
  return text;
}

// The entry files an applied message changed, for the log: "a.wl,b.wl", "-" when none.
std::string entry_names(const MessageResult& result) {
  std::string names;
  for (const OutcomeLine& line : result.lines) {
    if (line.entry_name.empty()) continue;
    if (!names.empty()) names += ',';
    names += line.entry_name;
  }
  return log_word(names);
}

// What the outcome lines of an applied message say beyond their outcome, for the log.
std::string outcome_reasons(const MessageResult& result) {
  std::vector<std::string> reasons;
  for (const OutcomeLine& line : result.lines) {
    if (!line.reason.empty()) reasons.push_back(line.reason);
  }
  return joined(reasons);
}

}  // namespace

Connection::Connection(asio::ip::tcp::socket socket, Server& server, std::string peer)
    : socket_(std::move(socket)),
      timer_(socket_.get_executor()),
      server_(server),
      peer_(std::move(peer)) {
  framer_.max_content = server_.settings().max_message;
}

void Connection::start() {
  write_log(server_.settings().log, LogLevel::routine, peer_ + " connected");
  idle_due_ = Clock::now() + server_.settings().idle_timeout;
  timer_.expires_at(idle_due_);
  wait_for_due();
  read();
}

void Connection::stop() {
  stopping_ = true;
  if (state_ == State::reading || state_ == State::draining) {
    close("closed: the server stops", LogLevel::routine);
  }
}

void Connection::read() {
  state_ = State::reading;
  bring_due_forward();
  socket_.async_read_some(
      asio::buffer(buffer_),
      [self = shared_from_this()](const std::error_code& error, std::size_t size) {
        if (self->state_ == State::closed) return;
        if (error) {
          if (error != asio::error::eof) {
            self->close("closed: " + error.message(), LogLevel::problem);
          } else if (self->framer_.in_frame) {
            self->close("closed by the peer inside a frame (dropped)", LogLevel::problem);
          } else {
            self->close("closed by the peer", LogLevel::routine);
          }
          return;
        }
        self->unread_ = std::string_view(self->buffer_.data(), size);
        self->process();
      });
}

void Connection::process() {
  const ServeSettings& settings = server_.settings();
  while (!unread_.empty()) {
    const bool was_in_frame = framer_.in_frame;
    const FrameEvent event = read_frame(framer_, unread_);
    if ((!was_in_frame && framer_.in_frame) || event == FrameEvent::dropped) {
      frame_due_ = Clock::now() + kFrameLimit;
    }
    bring_due_forward();
    switch (event) {
      case FrameEvent::none:
        break;
      case FrameEvent::dropped:
        write_log(settings.log, LogLevel::problem,
                  peer_ + " frame dropped: a new frame began inside it after " +
                      std::to_string(framer_.content.size()) + " bytes");
        break;
      case FrameEvent::complete:
        on_frame();
        return;
      case FrameEvent::too_long:
        on_too_long();
        return;
    }
  }
  read();
}

void Connection::on_frame() {
  ++messages_;
  frame_arrived_ = Clock::now();
  MappingOptions options = server_.settings().mapping;
  set_clock(options, std::time(nullptr));
  received_ = handle_frame(framer_.content, options);
  // Only a message keeps a connection open: empty frames and noise do not, whatever they are
  // answered, so that peers cannot hold the connection slots.
  if (!received_.msh.empty()) idle_due_ = frame_arrived_ + server_.settings().idle_timeout;
  if (received_.answer) {
    answer(*received_.answer, "rejected", "-", received_.answer->reason.text);
    return;
  }
  state_ = State::committing;
  server_.committer().submit(std::move(received_.plan),
                             [self = shared_from_this()](CommitOutcome outcome) {
                               self->on_committed(std::move(outcome));
                             });
}

void Connection::on_committed(CommitOutcome outcome) {
  if (state_ == State::closed) return;
  if (!outcome.taken) {
    close("closed: the server stops; the message was not applied", LogLevel::problem);
    return;
  }
  if (!outcome.applied) {
    // The peer learns that it may resend, not the server's paths: the log has the error.
    const Answer failed{AckCode::reject,
                        {kApplicationInternalError, "the worklist could not be written", "", 0},
                        0};
    answer(failed, "failed", "-", outcome.error);
    return;
  }
  answer(Answer{}, outcome_words(outcome.result), entry_names(outcome.result),
         outcome_reasons(outcome.result));
}

void Connection::on_too_long() {
  const std::size_t max_message = server_.settings().max_message;
  write_log(server_.settings().log, LogLevel::problem,
            peer_ + " frame longer than " + std::to_string(max_message) + " bytes");
  after_too_long_ = true;
  std::optional<Received> received = handle_oversized(framer_.content, max_message);
  if (!received) {
    drain();
    return;
  }
  ++messages_;
  frame_arrived_ = Clock::now();
  received_ = std::move(*received);
  answer(*received_.answer, "rejected", "-", received_.answer->reason.text);
}

void Connection::answer(const Answer& answer, std::string_view outcome, std::string_view entries,
                        std::string_view reasons) {
  ack_ = mllp_frame(acknowledgement_of(received_, answer, {hl7_now(), server_.next_ack_id()}));
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - frame_arrived_);
  std::string line = peer_ + ' ' + log_word(received_.control_id) + ' ' +
                     log_word(received_.message_type) + ' ' +
                     std::string(ack_code_text(answer.code)) + ' ' + log_word(outcome) + ' ' +
                     std::string(entries) + ' ' + std::to_string(millis.count()) + " ms";
  if (!reasons.empty()) line += ": " + std::string(reasons);
  write_log(server_.settings().log,
            answer.code == AckCode::accept ? LogLevel::routine : LogLevel::problem, line);

  state_ = State::writing;
  write_due_ = Clock::now() + server_.settings().idle_timeout;
  bring_due_forward();
  asio::async_write(socket_, asio::buffer(ack_),
                    [self = shared_from_this()](const std::error_code& error, std::size_t) {
                      self->on_written(error);
                    });
}

void Connection::on_written(const std::error_code& error) {
  if (state_ == State::closed) return;
  if (error) {
    close("closed: " + error.message(), LogLevel::problem);
  } else if (after_too_long_) {
    drain();
  } else if (stopping_) {
    close("closed: the server stops", LogLevel::routine);
  } else {
    state_ = State::reading;
    process();
  }
}

void Connection::drain() {
  if (stopping_) {
    close("closed after a frame that was too long", LogLevel::problem);
    return;
  }
  state_ = State::draining;
  std::error_code ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
  drain_due_ = Clock::now() + kDrainLimit;
  bring_due_forward();
  drop_input();
}

void Connection::drop_input() {
  socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](
                                                     const std::error_code& error, std::size_t) {
    if (self->state_ != State::draining) return;
    if (error) {
      self->close("closed after a frame that was too long", LogLevel::problem);
    } else {
      self->drop_input();
    }
  });
}

void Connection::close(std::string_view why, LogLevel level) {
  if (state_ == State::closed) return;
  state_ = State::closed;
  std::error_code ignored;
  socket_.close(ignored);
  timer_.cancel();
  write_log(server_.settings().log, level,
            peer_ + ' ' + std::string(why) + "; " + std::to_string(messages_) + " messages");
  server_.connection_closed(shared_from_this());
}

Due Connection::due() const {
  return next_due({state_, framer_.in_frame, idle_due_, frame_due_, write_due_, drain_due_},
                  Clock::now());
}

void Connection::wait_for_due() {
  timer_.async_wait([self = shared_from_this()](const std::error_code&) { self->on_due(); });
}

// The timer is moved only when a limit comes nearer; when it fires early, it is set again.
void Connection::bring_due_forward() {
  const Due limit = due();
  if (limit.at < timer_.expiry()) timer_.expires_at(limit.at);
}

void Connection::on_due() {
  if (state_ == State::closed) return;
  const Due limit = due();
  const std::string idle = std::to_string(server_.settings().idle_timeout.count());
  switch (limit.action) {
    case DueAction::look_again:
      timer_.expires_at(limit.at);
      wait_for_due();
      break;
    case DueAction::close_idle:
      close("closed: no message for " + idle + " s", LogLevel::routine);
      break;
    case DueAction::close_frame_too_slow:
      close("closed: a frame was not complete within " + std::to_string(kFrameLimit.count()) +
                " s (dropped)",
            LogLevel::problem);
      break;
    case DueAction::close_ack_not_taken:
      close("closed: the acknowledgement was not taken within " + idle + " s", LogLevel::problem);
      break;
    case DueAction::close_drained:
      close("closed after a frame that was too long", LogLevel::problem);
      break;
  }
}
