#include "ui/sound_effect_player.h"

#include <QAudioDevice>
#include <QFile>
#include <QFileInfo>
#include <QMediaDevices>
#include <QUrl>

#include "core/debug_output.h"

namespace {

// QSoundEffect never finishes loading a file that is no wave, so the RIFF
// header is checked first.
bool IsWaveFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray header = file.read(12);
    return header.size() == 12 && header.startsWith("RIFF") && header.mid(8, 4) == "WAVE";
}

}  // namespace

SoundEffectPlayer::SoundEffectPlayer(QObject* parent) : QObject(parent) {
    connect(&effect_, &QSoundEffect::statusChanged, this, &SoundEffectPlayer::OnStatusChanged);
}

void SoundEffectPlayer::Play(const std::string& file, bool loop) {
    // Whatever plays now stops, also when the new sound cannot play.
    effect_.stop();
    const QFileInfo info(QString::fromStdString(file));
    if (file.empty() || !info.isFile() || !info.isReadable()) {
        DebugOutput("Sound: cannot read \"" + file + "\"\n");
        return;
    }
    if (!IsWaveFile(info.absoluteFilePath())) {
        DebugOutput("Sound: cannot play \"" + file + "\": not a wave file\n");
        return;
    }
    if (QMediaDevices::defaultAudioOutput().isNull()) {
        DebugOutput("Sound: no audio output device\n");
        return;
    }
    effect_.setLoopCount(loop ? QSoundEffect::Infinite : 1);
    const QUrl source = QUrl::fromLocalFile(info.absoluteFilePath());
    if (effect_.source() != source) effect_.setSource(source);
    // Before the file is loaded, play() starts it as soon as it is.
    effect_.play();
}

void SoundEffectPlayer::Stop() {
    effect_.stop();
}

void SoundEffectPlayer::OnStatusChanged() {
    if (effect_.status() == QSoundEffect::Error)
        DebugOutput("Sound: cannot play \"" + effect_.source().toLocalFile().toStdString() +
                    "\"\n");
}
