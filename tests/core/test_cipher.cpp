// Blowfish block cipher against the published vectors, and the hex text wrapping used for the
// users file and the wire request.
#include "core/Cipher.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <ostream>

// Failure output as hex, since cipher texts hold any byte.
static void PrintTo(const QByteArray &bytes, std::ostream *os)
{
    *os << '"' << bytes.toHex(' ').toStdString() << '"';
}

namespace {

struct BlockVector {
    const char *key;
    const char *plain;
    const char *cipher;
};

// Eric Young's ECB table (8-byte keys), as published with the algorithm.
const BlockVector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

struct KeyLengthVector {
    const char *key;
    const char *cipher;
};

// Same source: plain text FEDCBA9876543210 under keys of growing length (5 to 24 bytes).
const KeyLengthVector kKeyLengthVectors[] = {
    {"F0E1D2C3B4", "B39E44481BDB1E6E"},
    {"F0E1D2C3B4A5", "9457AA83B1928C0D"},
    {"F0E1D2C3B4A596", "8BB77032F960629D"},
    {"F0E1D2C3B4A59687", "E87A244E2CC85E82"},
    {"F0E1D2C3B4A5968778", "15750E7A4F4EC577"},
    {"F0E1D2C3B4A596877869", "122BA70B3AB64AE0"},
    {"F0E1D2C3B4A5968778695A", "3A833C9AFFC537F6"},
    {"F0E1D2C3B4A5968778695A4B", "9409DA87A90F6BF2"},
    {"F0E1D2C3B4A5968778695A4B3C", "884F80625060B8B4"},
    {"F0E1D2C3B4A5968778695A4B3C2D", "1F85031C19E11968"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E", "79D9373A714CA34F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F", "93142887EE3BE15C"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00", "03429E838CE2D14B"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011", "A4299E27469FF67B"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F001122", "AFD5AED1C1BC96A8"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00112233", "10851C0E3858DA9F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344", "E6F51ED79B9DB21F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F001122334455", "64A6E14AFD36B46F"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F00112233445566", "80C7D7D45A5479AD"},
    {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "05044B62FA52D080"},
};

uint32_t Word(const QByteArray &bytes, int at)
{
    return (uint32_t(uint8_t(bytes[at])) << 24) | (uint32_t(uint8_t(bytes[at + 1])) << 16) |
           (uint32_t(uint8_t(bytes[at + 2])) << 8) | uint32_t(uint8_t(bytes[at + 3]));
}

QByteArray Hex(uint32_t L, uint32_t R)
{
    return QByteArray::number(L, 16).rightJustified(8, '0').toUpper() +
           QByteArray::number(R, 16).rightJustified(8, '0').toUpper();
}

Blowfish Keyed(const QByteArray &key)
{
    Blowfish b;
    b.InitCipher(key);
    return b;
}

} // namespace

TEST(BlowfishBlock, PublishedEcbVectors)
{
    ASSERT_EQ(std::size(kEcbVectors), 34u);
    for (const BlockVector &v : kEcbVectors) {
        SCOPED_TRACE(std::string("key ") + v.key + " plain " + v.plain);
        const Blowfish b = Keyed(QByteArray::fromHex(v.key));
        const QByteArray plain = QByteArray::fromHex(v.plain);
        const QByteArray cipher = QByteArray::fromHex(v.cipher);

        uint32_t L = Word(plain, 0), R = Word(plain, 4);
        b.EncryptBlock(L, R);
        EXPECT_EQ(Hex(L, R), QByteArray(v.cipher));

        L = Word(cipher, 0);
        R = Word(cipher, 4);
        b.DecryptBlock(L, R);
        EXPECT_EQ(Hex(L, R), QByteArray(v.plain));
    }
}

TEST(BlowfishBlock, PublishedKeyLengthVectors)
{
    for (const KeyLengthVector &v : kKeyLengthVectors) {
        SCOPED_TRACE(std::string("key ") + v.key);
        const Blowfish b = Keyed(QByteArray::fromHex(v.key));
        uint32_t L = 0xFEDCBA98, R = 0x76543210;
        b.EncryptBlock(L, R);
        EXPECT_EQ(Hex(L, R), QByteArray(v.cipher));
        b.DecryptBlock(L, R);
        EXPECT_EQ(Hex(L, R), QByteArray("FEDCBA9876543210"));
    }
}

TEST(BlowfishBlock, ReinitialisingStartsFromTheConstantsAgain)
{
    // A second key schedule on the same object must not build on the first one's state.
    Blowfish b = Keyed(QByteArray::fromHex("FFFFFFFFFFFFFFFF"));
    b.InitCipher(QByteArray::fromHex("FEDCBA9876543210"));
    uint32_t L = 0x01234567, R = 0x89ABCDEF;
    b.EncryptBlock(L, R);
    EXPECT_EQ(Hex(L, R), QByteArray("0ACEAB0FC6A0A28D"));
}

TEST(BlowfishBlock, KeyBeyondFiftySixBytesIsIgnored)
{
    QByteArray key56;
    for (int i = 0; i < 56; ++i)
        key56.append(char(0x30 + i));
    const QByteArray text("eight by");
    const QByteArray expected = Keyed(key56).EncryptToHex(text);

    EXPECT_EQ(Keyed(key56 + "extra bytes").EncryptToHex(text), expected);
    // ...while the 56th byte itself still counts.
    EXPECT_NE(Keyed(key56.left(55)).EncryptToHex(text), expected);
}

TEST(CipherHex, BlocksAreBigEndianAndUpperCase)
{
    // Published vector through the text wrapping: byte 1 is the top byte of L, byte 5 of R.
    const Blowfish b = Keyed(QByteArray::fromHex("FEDCBA9876543210"));
    const QByteArray plain = QByteArray::fromHex("0123456789ABCDEF");
    EXPECT_EQ(b.EncryptToHex(plain), QByteArray("0ACEAB0FC6A0A28D"));
    EXPECT_EQ(b.DecryptFromHex("0aceab0fc6a0a28d"), plain);
    EXPECT_EQ(b.DecryptFromHex("0ACEAB0FC6A0A28D"), plain);
}

TEST(CipherHex, EncryptedLengthFollowsPadding)
{
    const struct {
        int textLength;
        int hexLength;
    } cases[] = {{0, 0}, {1, 16}, {3, 16}, {8, 16}, {9, 32}, {16, 32}, {17, 48}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.textLength);
        const QByteArray hex = EncryptToHex(QByteArray(c.textLength, 'a'));
        EXPECT_EQ(hex.size(), c.hexLength);
        EXPECT_EQ(hex, hex.toUpper());
    }
}

TEST(CipherHex, PaddingIsNulBytes)
{
    // "abc" and "abc" + five NULs are the same padded block.
    EXPECT_EQ(EncryptToHex("abc"), EncryptToHex(QByteArray("abc\0\0\0\0\0", 8)));
}

TEST(CipherHex, BadLengthsDecryptToEmpty)
{
    const QByteArray good = EncryptToHex("sixteen chars!!!"); // 32 digits
    ASSERT_EQ(good.size(), 32);
    for (int len : {0, 1, 8, 15, 17, 24, 31}) {
        SCOPED_TRACE(len);
        EXPECT_TRUE(DecryptFromHex(good.left(len)).isEmpty());
    }
    EXPECT_TRUE(DecryptFromHex(good + "0").isEmpty());
    EXPECT_EQ(DecryptFromHex(good), QByteArray("sixteen chars!!!"));
}

TEST(CipherHex, RoundTripKeepsEveryByteExceptTrailingNuls)
{
    QByteArray high;
    for (int c = 0x80; c <= 0xFF; ++c)
        high.append(char(c));
    const struct {
        QByteArray text;
        QByteArray back;
    } cases[] = {
        {"x", "x"},
        {"exactly8", "exactly8"},
        {"Bob\x01secret\x01Joe\x01pw\x01S\x01", "Bob\x01secret\x01Joe\x01pw\x01S\x01"},
        {high, high},
        {QByteArray("in\0ter\0\0ior", 11), QByteArray("in\0ter\0\0ior", 11)},
        {QByteArray("\0lead", 5), QByteArray("\0lead", 5)},
        {QByteArray("tail\0", 5), "tail"},
        // Trailing NULs go even when they fill whole blocks of their own.
        {QByteArray("tail") + QByteArray(20, '\0'), "tail"},
        {QByteArray("x\0y", 3) + QByteArray(12, '\0'), QByteArray("x\0y", 3)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text.toHex().toStdString());
        EXPECT_EQ(DecryptFromHex(EncryptToHex(c.text)), c.back);
    }
}

TEST(CipherHex, AllNulBlocksDecryptToEmpty)
{
    const QByteArray hex = EncryptToHex(QByteArray(24, '\0'));
    EXPECT_EQ(hex.size(), 48);
    EXPECT_TRUE(DecryptFromHex(hex).isEmpty());
}

TEST(CipherHex, LowerCaseDigitsDecryptLikeUpperCase)
{
    const QByteArray text("Mixed Case \xE9\xFF text");
    const QByteArray hex = EncryptToHex(text);
    EXPECT_EQ(DecryptFromHex(hex.toLower()), text);
    QByteArray mixed = hex;
    for (qsizetype i = 0; i < mixed.size(); i += 2) {
        if (mixed[i] >= 'A' && mixed[i] <= 'F')
            mixed[i] = char(mixed[i] - 'A' + 'a');
    }
    EXPECT_EQ(DecryptFromHex(mixed), text);
}

TEST(CipherHex, NonHexDigitMakesWholeResultEmpty)
{
    const QByteArray good = EncryptToHex("three blocks of text here"); // 64 digits
    ASSERT_EQ(good.size(), 64);
    const struct {
        int at;
        char c;
    } damage[] = {{0, 'G'}, {7, 'g'}, {8, ' '}, {15, '\0'}, {20, '-'}, {40, '+'},
                  {47, 'x'}, {63, char(0xFF)}, {63, char(0xB0)}, {33, ':'}};
    for (const auto &d : damage) {
        SCOPED_TRACE(d.at);
        QByteArray bad = good;
        bad[d.at] = d.c;
        EXPECT_TRUE(DecryptFromHex(bad).isEmpty());
    }
    EXPECT_TRUE(DecryptFromHex(QByteArray(16, '\0')).isEmpty());
    EXPECT_TRUE(DecryptFromHex("0x0123456789ABCD").isEmpty());
}

TEST(ProgramCipher, KeyIsTheFixedFiftySixCharacters)
{
    const QByteArray key = BuildCipherKey();
    EXPECT_EQ(key.size(), 56);
    EXPECT_EQ(key, QByteArray("jaU9hSHh5VIWs9vMCNJQhAmRIj7LD0EhvR7whyWqv12BHL5gHkHAUK1r"));
}

TEST(ProgramCipher, MatchesAnIndependentImplementationUnderTheProgramKey)
{
    // Reference values from another Blowfish implementation keyed with the same 56 bytes:
    // stored users files and peers depend on these staying put.
    EXPECT_EQ(EncryptToHex("Parcelwise\x01" "alice\x01"),
              QByteArray("8140CE9546829267FA51E3BE1AF4BDAAB3456184F0BFDB2F"));
    EXPECT_EQ(EncryptToHex(QByteArray::fromHex("8081828384858687")), QByteArray("4FD93FB6C37452C7"));
    EXPECT_EQ(DecryptFromHex("4fd93fb6c37452c7"), QByteArray::fromHex("8081828384858687"));
    EXPECT_EQ(&ProgramCipher(), &ProgramCipher());
}
