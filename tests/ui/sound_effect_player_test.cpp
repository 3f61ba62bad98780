#include "ui/sound_effect_player.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <fstream>
#include <string>

#include "test_support.h"
#include "ui/sine_wave.h"
#include "ui_test_support.h"

namespace {

// Without a sound server (PulseAudio pointed at a socket that does not
// exist) and with files that cannot be played, every sound is silence with a
// debug line: nothing plays, nothing is shown, nothing fails. The desktop lab
// plays real sounds.
TEST(SoundEffectPlayer, UnplayableSoundsAreSilenceWithADebugLineAndNoWindow) {
    TempFolder folder;
    const ScopedEnv noServer("PULSE_SERVER", ("unix:" + folder.Path() + "/none").c_str());
    TestApplication();
    const std::string wave = folder.Path() + "/sine.wav";
    WriteSineWave(wave, 0.2, 0.5);
    const std::string junk = folder.Path() + "/junk.wav";
    std::ofstream(junk) << "not a wave";

    SoundEffectPlayer player;
    testing::internal::CaptureStderr();
    player.Play(folder.Path() + "/missing.wav", true);
    EXPECT_FALSE(player.IsPlaying());
    player.Play("", false);
    EXPECT_FALSE(player.IsPlaying());
    player.Play(wave, true);
    QApplication::processEvents();
    EXPECT_FALSE(player.IsPlaying());
    player.Play(junk, false);
    QApplication::processEvents();
    player.Stop();
    const std::string debug = testing::internal::GetCapturedStderr();
    EXPECT_NE(debug.find("Sound: cannot read \"" + folder.Path() + "/missing.wav\"\n"),
              std::string::npos)
        << debug;
    EXPECT_NE(debug.find("Sound: cannot read \"\"\n"), std::string::npos) << debug;
    EXPECT_NE(debug.find("Sound: no audio output device\n"), std::string::npos) << debug;
    EXPECT_NE(debug.find("Sound: cannot play \"" + junk + "\": not a wave file\n"),
              std::string::npos)
        << debug;
    EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty());
}

}  // namespace
