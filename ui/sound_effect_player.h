#pragma once

#include <QObject>
#include <QSoundEffect>

#include "ui/sound_player.h"

// Event sounds with QSoundEffect (wave files), which loads and plays without
// blocking the GUI thread. A missing or unreadable file, a file that is no
// wave, or no audio device gives silence and one debug line.
class SoundEffectPlayer final : public QObject, public SoundPlayer {
    Q_OBJECT

  public:
    explicit SoundEffectPlayer(QObject* parent = nullptr);

    void Play(const std::string& file, bool loop) override;
    void Stop() override;

    bool IsPlaying() const { return effect_.isPlaying(); }

  private:
    void OnStatusChanged();

    QSoundEffect effect_;
};
