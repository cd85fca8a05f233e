// When a connection's time is up, and what then happens: the one decision behind its timer.
#pragma once

#include <chrono>

using ConnectionClock = std::chrono::steady_clock;

// A frame must be complete within this time of its first byte.
constexpr std::chrono::seconds kFrameLimit{60};
// While a message is being committed no limit applies; the timer just looks again after this.
constexpr std::chrono::hours kNoLimit{24};

enum class ConnectionState {
  reading,     // waiting for bytes or reading them
  committing,  // a message is with the committer; the socket is not read meanwhile
  writing,     // an acknowledgement is being sent
  draining,    // after a frame that was too long: reading and dropping, then closing
  closed,
};

// A connection's state and the limits it has set.
struct ConnectionTimes {
  ConnectionState state = ConnectionState::reading;
  bool in_frame = false;  // a frame has begun and not ended yet
  // The connection opened, or its last frame with a readable MSH was complete, the idle
  // timeout before this. Empty frames, noise and the server's answers do not move it.
  ConnectionClock::time_point idle_due;
  ConnectionClock::time_point frame_due;  // the frame being read began kFrameLimit before this
  ConnectionClock::time_point write_due;  // the acknowledgement being sent must be taken by then
  ConnectionClock::time_point drain_due;  // dropping the peer's bytes ends then
};

enum class DueAction {
  look_again,            // no limit is reached yet: wait until `at` and ask again
  close_idle,            // no frame with a readable MSH for the idle timeout
  close_frame_too_slow,  // the frame being read was not complete in time: it is dropped
  close_ack_not_taken,   // the peer did not read the acknowledgement in time
  close_drained,         // the time for dropping bytes after a frame that was too long is up
};

struct Due {
  ConnectionClock::time_point at;
  DueAction action;
};

// The limit of a connection in `times` and what happens at it, as seen at `now`: a close once
// the limit is reached (at or before `now`), otherwise look_again. Between frames the limit is
// the idle deadline. Inside a frame it is the frame's own deadline, but never later than
// kFrameLimit after the idle deadline: a frame begun before the idle deadline gets its full
// time, while a peer that keeps starting new frames (each 0x0B inside a frame starts one)
// cannot hold the connection. Writing: the acknowledgement's deadline; draining: the drain's;
// committing and closed: none (now + kNoLimit, look_again).
Due next_due(const ConnectionTimes& times, ConnectionClock::time_point now);
