// A connection's limits: idle between frames only, the frame's own limit inside one, and the
// acknowledgement's and the drain's; a limit is reached at its instant, not before.
#include "mwld/deadline.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(NextDue, ByStateAndTime) {
  using State = ConnectionState;
  using Action = DueAction;
  const auto at = [](int s) { return ConnectionClock::time_point{} + std::chrono::seconds(s); };
  const int day = 24 * 3600;
  struct Case {
    std::string label;
    State state;
    bool in_frame;
    int frame_due;  // seconds; the idle deadline is 100, the write's 200, the drain's 50
    int now;
    int due;
    Action action;
  };
  const Case cases[] = {
      {"idle: not yet", State::reading, false, 0, 99, 100, Action::look_again},
      {"idle: reached at its instant", State::reading, false, 0, 100, 100, Action::close_idle},
      {"in a frame, not idle", State::reading, true, 130, 120, 130, Action::look_again},
      {"frame too slow", State::reading, true, 130, 130, 130, Action::close_frame_too_slow},
      {"frame begun late", State::reading, true, 190, 160, 160, Action::close_frame_too_slow},
      {"ack not taken", State::writing, false, 0, 200, 200, Action::close_ack_not_taken},
      {"drained", State::draining, true, 0, 50, 50, Action::close_drained},
      {"committing", State::committing, false, 0, 500, 500 + day, Action::look_again},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Due due =
        next_due({c.state, c.in_frame, at(100), at(c.frame_due), at(200), at(50)}, at(c.now));
    EXPECT_EQ(due.at, at(c.due));
    EXPECT_EQ(due.action, c.action);
  }
}

}  // namespace
