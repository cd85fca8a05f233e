// The connection's limits by state.
#include "mwld/deadline.h"

namespace {

Due limit_of(const ConnectionTimes& times, ConnectionClock::time_point now) {
  switch (times.state) {
    case ConnectionState::reading:
      if (times.in_frame) {
        const ConnectionClock::time_point latest = times.idle_due + kFrameLimit;
        return {times.frame_due < latest ? times.frame_due : latest,
                DueAction::close_frame_too_slow};
      }
      return {times.idle_due, DueAction::close_idle};
    case ConnectionState::writing:
      return {times.write_due, DueAction::close_ack_not_taken};
    case ConnectionState::draining:
      return {times.drain_due, DueAction::close_drained};
    case ConnectionState::committing:
    case ConnectionState::closed:
      break;
  }
  return {now + kNoLimit, DueAction::look_again};
}

}  // namespace

Due next_due(const ConnectionTimes& times, ConnectionClock::time_point now) {
  Due due = limit_of(times, now);
  if (due.at > now) due.action = DueAction::look_again;
  return due;
}
