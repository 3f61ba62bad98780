#pragma once

#include <cstddef>
#include <cstdint>

// Where the fields of an Ethernet frame carrying a PPPoE discovery packet
// lie, for the frame reader and the capture helper's send check alike.
constexpr size_t kSourceMacOffset = 6;
constexpr size_t kEtherTypeOffset = 12;
constexpr size_t kVersionTypeOffset = 14;  // PPPoE version and type, one byte
constexpr size_t kCodeOffset = 15;
constexpr size_t kSessionOffset = 16;
constexpr size_t kPayloadLengthOffset = 18;
constexpr uint8_t kPppoeVersionType = 0x11;  // version 1, type 1

inline uint16_t ReadBigEndian16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
