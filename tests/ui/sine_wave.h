#pragma once

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>

// Writes a 440 Hz sine of the given length and amplitude (0 to 1) as a wave
// file: 16-bit mono PCM at 44.1 kHz.
inline void WriteSineWave(const std::string& path, double seconds, double amplitude) {
    const uint32_t rate = 44100;
    const auto samples = static_cast<uint32_t>(seconds * rate);
    std::ofstream out(path, std::ios::binary);
    const auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + samples * 2);
    out.write("WAVEfmt ", 8);
    u32(16);        // format chunk size
    u16(1);         // PCM
    u16(1);         // mono
    u32(rate);      // samples per second
    u32(rate * 2);  // bytes per second
    u16(2);         // bytes per sample
    u16(16);        // bits per sample
    out.write("data", 4);
    u32(samples * 2);
    for (uint32_t i = 0; i < samples; ++i)
        u16(static_cast<uint16_t>(
            static_cast<int16_t>(amplitude * 32767 * std::sin(2 * M_PI * 440.0 * i / rate))));
}
