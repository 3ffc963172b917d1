#pragma once

// What a message tells of a user's presence. What waits for a slow reader about who is online
// and in the room is state, not history: a change that undoes one still waiting cancels it.
// Opposites differ in the lowest bit. A user's state (away, busy) has no opposite: a newer one,
// or the user's going, replaces one still waiting.
enum class Presence { None = 0, Online = 2, Offline = 3, InRoom = 4, OutOfRoom = 5, State = 6 };
