#pragma once

#include <string>

// Plays the event sounds: one at a time, once or looping until stopped. A
// sound that cannot be played is silence, never a message to the user.
class SoundPlayer {
  public:
    virtual ~SoundPlayer() = default;
    // Starts the wave file in place of whatever plays now.
    virtual void Play(const std::string& file, bool loop) = 0;
    // Stops whatever plays; nothing when nothing plays.
    virtual void Stop() = 0;
};
