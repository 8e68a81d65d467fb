#pragma once

// Frames per second of everything wsy computes and plays.
constexpr int kSampleRate = 44100;
