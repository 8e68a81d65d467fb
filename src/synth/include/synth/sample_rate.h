#pragma once

// The rate the modules' formulas are written for. At it they compute exactly
// as wsy always has; at any other rate the oscillator steps by frequency /
// rate and the envelope scales its per-step figures from this one.
constexpr int kReferenceRate = 44100;
