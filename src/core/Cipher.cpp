// Blowfish block cipher and its hexadecimal text wrapping; one keyed instance serves the
// whole process (users file and wire request).
#include "core/Cipher.h"

#include "core/BlowfishConstants.h"
#include "core/TextUtil.h"

#include <cstddef>
#include <utility>

namespace {

constexpr int kMaxKeyBytes = 56;
constexpr int kBlockBytes = 8;
constexpr int kBlockDigits = 16;

// Character codes of the program key. Kept as numbers so the key never appears as one
// readable string in the binary.
constexpr int kKeyCodes[] = {
    106, 97, 85, 57, 104, 83, 72, 104, 53, 86, 73, 87, 115, 57,
    118, 77, 67, 78, 74, 81, 104, 65, 109, 82, 73, 106, 55, 76,
    68, 48, 69, 104, 118, 82, 55, 119, 104, 121, 87, 113, 118, 49,
    50, 66, 72, 76, 53, 103, 72, 107, 72, 65, 85, 75, 49, 114,
};

uint32_t LoadBigEndian(const char *p)
{
    return (uint32_t(uint8_t(p[0])) << 24) | (uint32_t(uint8_t(p[1])) << 16) |
           (uint32_t(uint8_t(p[2])) << 8) | uint32_t(uint8_t(p[3]));
}

void StoreBigEndian(uint32_t v, QByteArray &out)
{
    out.append(char(v >> 24));
    out.append(char(v >> 16));
    out.append(char(v >> 8));
    out.append(char(v));
}

void AppendHexWord(uint32_t v, QByteArray &out)
{
    static const char digits[] = "0123456789ABCDEF";
    for (int shift = 28; shift >= 0; shift -= 4)
        out.append(digits[(v >> shift) & 0xF]);
}

// Reads exactly 8 hex digits; false on any other character.
bool ParseHexWord(const char *p, uint32_t &v)
{
    v = 0;
    for (int i = 0; i < 8; ++i) {
        const int d = HexDigitValue(p[i]);
        if (d < 0)
            return false;
        v = (v << 4) | uint32_t(d);
    }
    return true;
}

} // namespace

void Blowfish::InitCipher(const QByteArray &key)
{
    P_ = kBlowfishInitP;
    S_ = kBlowfishInitS;

    const qsizetype keyLen = qMin<qsizetype>(key.size(), kMaxKeyBytes);
    if (keyLen > 0) {
        qsizetype pos = 0;
        for (uint32_t &p : P_) {
            uint32_t word = 0;
            for (int b = 0; b < 4; ++b) {
                word = (word << 8) | uint8_t(key[pos]);
                pos = (pos + 1) % keyLen;
            }
            p ^= word;
        }
    }

    uint32_t L = 0;
    uint32_t R = 0;
    for (std::size_t i = 0; i < P_.size(); i += 2) {
        EncryptBlock(L, R);
        P_[i] = L;
        P_[i + 1] = R;
    }
    for (auto &box : S_) {
        for (std::size_t j = 0; j < box.size(); j += 2) {
            EncryptBlock(L, R);
            box[j] = L;
            box[j + 1] = R;
        }
    }
}

uint32_t Blowfish::F(uint32_t x) const
{
    const uint32_t a = (x >> 24) & 0xFF;
    const uint32_t b = (x >> 16) & 0xFF;
    const uint32_t c = (x >> 8) & 0xFF;
    const uint32_t d = x & 0xFF;
    // Unsigned arithmetic: both additions wrap modulo 2^32.
    return ((S_[0][a] + S_[1][b]) ^ S_[2][c]) + S_[3][d];
}

void Blowfish::EncryptBlock(uint32_t &L, uint32_t &R) const
{
    for (int i = 0; i < 16; ++i) {
        L ^= P_[i];
        R ^= F(L);
        std::swap(L, R);
    }
    std::swap(L, R);
    R ^= P_[16];
    L ^= P_[17];
}

void Blowfish::DecryptBlock(uint32_t &L, uint32_t &R) const
{
    for (int i = 17; i >= 2; --i) {
        L ^= P_[i];
        R ^= F(L);
        std::swap(L, R);
    }
    std::swap(L, R);
    R ^= P_[1];
    L ^= P_[0];
}

QByteArray Blowfish::EncryptToHex(const QByteArray &text) const
{
    QByteArray padded = text;
    const qsizetype rest = padded.size() % kBlockBytes;
    if (rest != 0)
        padded.append(kBlockBytes - rest, '\0');

    QByteArray hex;
    hex.reserve(padded.size() * 2);
    for (qsizetype i = 0; i < padded.size(); i += kBlockBytes) {
        uint32_t L = LoadBigEndian(padded.constData() + i);
        uint32_t R = LoadBigEndian(padded.constData() + i + 4);
        EncryptBlock(L, R);
        AppendHexWord(L, hex);
        AppendHexWord(R, hex);
    }
    return hex;
}

QByteArray Blowfish::DecryptFromHex(const QByteArray &hex) const
{
    if (hex.size() < kBlockDigits || hex.size() % kBlockDigits != 0)
        return {};

    QByteArray text;
    text.reserve(hex.size() / 2);
    for (qsizetype i = 0; i < hex.size(); i += kBlockDigits) {
        uint32_t L = 0;
        uint32_t R = 0;
        // A damaged group makes the whole text unusable; callers treat empty as "no data".
        if (!ParseHexWord(hex.constData() + i, L) || !ParseHexWord(hex.constData() + i + 8, R))
            return {};
        DecryptBlock(L, R);
        StoreBigEndian(L, text);
        StoreBigEndian(R, text);
    }

    qsizetype end = text.size();
    while (end > 0 && text[end - 1] == '\0')
        --end;
    text.truncate(end);
    return text;
}

QByteArray BuildCipherKey()
{
    QByteArray key;
    for (int code : kKeyCodes)
        key.append(char(code));
    return key.left(kMaxKeyBytes);
}

const Blowfish &ProgramCipher()
{
    static const Blowfish cipher = [] {
        Blowfish b;
        b.InitCipher(BuildCipherKey());
        return b;
    }();
    return cipher;
}

QByteArray EncryptToHex(const QByteArray &text)
{
    return ProgramCipher().EncryptToHex(text);
}

QByteArray DecryptFromHex(const QByteArray &hex)
{
    return ProgramCipher().DecryptFromHex(hex);
}
