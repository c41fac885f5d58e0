// Blowfish initial constants (pi's hexadecimal digits), from which every key schedule starts.
#pragma once

#include <array>
#include <cstdint>

extern const std::array<uint32_t, 18> kBlowfishInitP;
extern const std::array<std::array<uint32_t, 256>, 4> kBlowfishInitS;
