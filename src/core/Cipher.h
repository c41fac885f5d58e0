// Blowfish (64-bit blocks, 16 rounds, no chaining) and the hexadecimal text wrapping that
// protects the users file and the wire request. Text is bytes: every byte is one character.
#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

class Blowfish {
public:
    // Resets the P-array and S-boxes to the initial constants and runs the key schedule.
    // Only the first 56 key bytes are used.
    void InitCipher(const QByteArray &key);
    void EncryptBlock(uint32_t &L, uint32_t &R) const;
    void DecryptBlock(uint32_t &L, uint32_t &R) const;

    // Pads with NUL bytes to a multiple of 8 and writes every block as 16 upper-case hex digits.
    QByteArray EncryptToHex(const QByteArray &text) const;
    // Empty for a length below 16 or not a multiple of 16, and for any non-hex digit.
    // Trailing NUL bytes are removed.
    QByteArray DecryptFromHex(const QByteArray &hex) const;

private:
    uint32_t F(uint32_t x) const;
    std::array<uint32_t, 18> P_{};
    std::array<std::array<uint32_t, 256>, 4> S_{};
};

// The program's fixed 56-character key, assembled from character codes held in the program.
QByteArray BuildCipherKey();

// The process-wide cipher, keyed once with BuildCipherKey() on first use.
const Blowfish &ProgramCipher();
QByteArray EncryptToHex(const QByteArray &text);
QByteArray DecryptFromHex(const QByteArray &hex);
