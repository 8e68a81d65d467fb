#pragma once
// Standard MIDI File bytes put together by hand, for the reader's tests.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline Bytes big_endian(uint32_t value, int size) {
  Bytes out;
  for (int i = size - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return out;
}

// A chunk: four letters, a 32-bit big-endian length, the body.
inline Bytes chunk(const std::string& type, const Bytes& body) {
  return Bytes(type.begin(), type.end()) + big_endian(static_cast<uint32_t>(body.size()), 4) + body;
}

inline Bytes header(uint16_t format, uint16_t tracks, uint16_t division) {
  return chunk("MThd", big_endian(format, 2) + big_endian(tracks, 2) + big_endian(division, 2));
}

inline Bytes track(const Bytes& events) { return chunk("MTrk", events); }

inline const Bytes kEndOfTrack = {0x00, 0xFF, 0x2F, 0x00};
