// The preferences and users files: exact bytes, the corrections made on reading, failed saves,
// and damaged or hostile files that must load without harm.
#include "FileSizeLimit.h"
#include "TestSupport.h"
#include "core/Cipher.h"
#include "core/FileOps.h"
#include "core/Preferences.h"
#include "core/Users.h"

#include <gtest/gtest.h>

#include <QDir>

#include <cctype>

namespace {

// ---- Preferences -------------------------------------------------------------------------

TEST(PrefsFile, EncodesSevenKeyLinesExactly)
{
    Preferences p;
    p.AddressType = AddressKind::Dynamic;
    EXPECT_EQ(EncodePrefs(p), QByteArray("FL\rFU\rFP\rPO4444\rRE2\rSE1\rSDD\rNMOff\rENPrefer\r"));

    p.FtpLogin = " me ";
    p.FtpUrl = "ftp://host/dir/page.html";
    p.FtpPassword = "pa ss";
    p.ListenPort = 65535;
    p.ReceiveChannels = 4;
    p.SendChannels = 0;
    p.AddressType = AddressKind::Static;
    p.PortMapping = true;
    p.Encryption = EncryptionSetting::Require;
    EXPECT_EQ(EncodePrefs(p),
              QByteArray("FL me \rFUftp://host/dir/page.html\rFPpa ss\rPO65535\rRE4\rSE0\rSDS\rNMAutomatic\rENRequire\r"));

    ScratchDir dir;
    RecordingPrompt prompt;
    ASSERT_TRUE(SavePrefsFile(dir.path(), p, prompt));
    EXPECT_EQ(dir.read("Parcelwise_Prefs"), EncodePrefs(p));
    Preferences back;
    LoadPrefsFile(dir.path(), back);
    EXPECT_EQ(back.FtpLogin, p.FtpLogin); // text values come back untrimmed
    EXPECT_EQ(back.FtpUrl, p.FtpUrl);
    EXPECT_EQ(back.FtpPassword, p.FtpPassword);
    EXPECT_EQ(back.ListenPort, 65535);
    EXPECT_EQ(back.ReceiveChannels, 4);
    EXPECT_EQ(back.SendChannels, 0);
    EXPECT_EQ(back.AddressType, AddressKind::Static);
    EXPECT_TRUE(back.PortMapping);
    EXPECT_EQ(back.Encryption, EncryptionSetting::Require);
    EXPECT_EQ(prompt.beeps, 0);
}

struct PrefsCase {
    const char *what;
    QByteArray file;
    int port, receive, send;
    QByteArray type;
};

TEST(PrefsFile, ReadingCorrectsValues)
{
    const PrefsCase cases[] = {
        {"port 80", "PO80\r", 4444, 2, 1, "S"},
        {"port 1024", "PO1024\r", 1024, 2, 1, "S"},
        {"port 65535", "PO65535\r", 65535, 2, 1, "S"},
        {"port 65536", "PO65536\r", 4444, 2, 1, "S"},
        {"port 99999999999", "PO99999999999\r", 4444, 2, 1, "S"},
        {"port -5000", "PO-5000\r", 4444, 2, 1, "S"},
        {"port rounds half to even", "PO1023.5\r", 1024, 2, 1, "S"},
        {"port with blanks and tail", "PO  5000xyz\r", 5000, 2, 1, "S"},
        {"port without value", "PO\r", 4444, 2, 1, "S"},
        {"receive 0", "RE0\r", 4444, 1, 1, "S"},
        {"receive 7", "RE7\r", 4444, 1, 1, "S"},
        {"receive 4", "RE4\r", 4444, 4, 1, "S"},
        {"receive 2.5 rounds to 2", "RE2.5\r", 4444, 2, 1, "S"},
        {"receive 3.5 rounds to 4", "RE3.5\r", 4444, 4, 1, "S"},
        {"send 0 stays", "SE0\r", 4444, 2, 0, "S"},
        {"send -1", "SE-1\r", 4444, 2, 1, "S"},
        {"send 5", "SE5\r", 4444, 2, 1, "S"},
        {"send 4", "SE4\r", 4444, 2, 4, "S"},
        {"type s", "SDs\r", 4444, 2, 1, "D"},
        {"type empty", "SD\r", 4444, 2, 1, "D"},
        {"type S with blank", "SDS \r", 4444, 2, 1, "D"},
        {"type S", "SDS\r", 4444, 2, 1, "S"},
        {"no type line keeps S", "FLme\rPO5000\r", 5000, 2, 1, "S"},
        {"later line overrides", "PO5000\rRE3\rPO6000\r", 6000, 3, 1, "S"},
        {"keys are case-sensitive", "po5000\rre3\r", 4444, 2, 1, "S"},
        {"unknown keys ignored", "XX1\rP\rPOX\r", 4444, 2, 1, "S"},
        {"text after the last CR ignored", "PO5000\rRE3", 5000, 2, 1, "S"},
        {"no CR at all", "PO5000", 4444, 2, 1, "S"},
        // A line feed after each CR starts the next line, so only the first line's key matches.
        {"CR LF line ends", "PO5000\r\nRE3\r\nSE2\r\nSDD\r\n", 5000, 2, 1, "S"},
        {"CR LF, first line sets the type", "SDD\r\nPO5000\r\n", 4444, 2, 1, "D"},
    };
    for (const auto &c : cases) {
        ScratchDir dir;
        dir.write("Parcelwise_Prefs", c.file);
        Preferences p;
        LoadPrefsFile(dir.path(), p);
        EXPECT_EQ(p.ListenPort, c.port) << c.what;
        EXPECT_EQ(p.ReceiveChannels, c.receive) << c.what;
        EXPECT_EQ(p.SendChannels, c.send) << c.what;
        EXPECT_EQ(QByteArray(AddressKindLetter(p.AddressType)), c.type) << c.what;
    }
}

TEST(PrefsFile, PortMappingLine)
{
    const struct {
        const char *file;
        bool mapping;
    } cases[] = {
        {"SDD\r", true},           // no line: Automatic where the page is posted
        {"SDS\r", false},          // and Off for a static address
        {"FLme\r", false},
        {"SDS\rNMAutomatic\r", true},
        {"SDD\rNMOff\r", false},
        {"NMOff\rSDD\r", false},  // wherever the line stands
        {"SDS\rNMoff\r", true},   // any other value reads as Automatic
        {"SDS\rNM\r", true},
        {"SDS\rNMOff\rNMAutomatic\r", true},
    };
    for (const auto &c : cases) {
        Preferences p;
        ApplyPrefsText(p, c.file);
        EXPECT_EQ(p.PortMapping, c.mapping) << c.file;
    }
}

TEST(PrefsFile, EncryptionLine)
{
    const struct {
        const char *file;
        EncryptionSetting setting;
    } cases[] = {
        {"SDS\r", EncryptionSetting::Prefer}, // a file of an earlier version
        {"SDS\rENOff\r", EncryptionSetting::Off},
        {"ENRequire\rSDS\r", EncryptionSetting::Require},
        {"SDS\rENPrefer\r", EncryptionSetting::Prefer},
        {"SDS\rENoff\r", EncryptionSetting::Prefer}, // any other value reads Prefer
        {"SDS\rEN\r", EncryptionSetting::Prefer},
        {"SDS\rENRequire \r", EncryptionSetting::Prefer},
        {"SDS\rENOff\rENRequire\r", EncryptionSetting::Require},
    };
    for (const auto &c : cases) {
        Preferences p;
        p.Encryption = EncryptionSetting::Off;
        ApplyPrefsText(p, c.file);
        EXPECT_EQ(p.Encryption, c.setting) << c.file;
    }
    // Each value written reads back as itself.
    for (EncryptionSetting s : {EncryptionSetting::Off, EncryptionSetting::Prefer, EncryptionSetting::Require}) {
        Preferences p;
        p.Encryption = s;
        Preferences back;
        ApplyPrefsText(back, EncodePrefs(p));
        EXPECT_EQ(back.Encryption, s);
    }
}

TEST(PrefsFile, MissingOrBlankFileChangesNothing)
{
    // Values that the range checks would correct show whether the checks ran.
    Preferences odd;
    odd.ListenPort = 80;
    odd.ReceiveChannels = 0;
    odd.SendChannels = 9;
    odd.AddressType = AddressKind::Dynamic;

    ScratchDir dir;
    Preferences p = odd;
    LoadPrefsFile(dir.path(), p);
    EXPECT_EQ(EncodePrefs(p), EncodePrefs(odd));

    dir.write("Parcelwise_Prefs", "    ");
    LoadPrefsFile(dir.path(), p);
    EXPECT_EQ(EncodePrefs(p), EncodePrefs(odd));

    dir.write("Parcelwise_Prefs", "FLx\r");
    LoadPrefsFile(dir.path(), p);
    EXPECT_EQ(p.FtpLogin, "x");
    EXPECT_EQ(p.ListenPort, 4444);
    EXPECT_EQ(p.ReceiveChannels, 1);
    EXPECT_EQ(p.SendChannels, 1);
    EXPECT_EQ(p.AddressType, AddressKind::Dynamic);
}

TEST(PrefsFile, FailedSaveWarnsAndKeepsTheOldFile)
{
    ScratchDir dir;
    Preferences p;
    p.FtpLogin = QByteArray(500, 'L');
    const QByteArray old = "PO5000\rSDD\r";
    dir.write("Parcelwise_Prefs", old);
    RecordingPrompt prompt;
    bool saved = true;
    {
        FileSizeLimit full(8);
        ASSERT_TRUE(full.active());
        saved = SavePrefsFile(dir.path(), p, prompt);
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(prompt.beeps, 1);
    EXPECT_EQ(prompt.messages, QStringList{"Cannot Write Preferences"});
    EXPECT_EQ(dir.read("Parcelwise_Prefs"), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Parcelwise_Prefs"});

    // A program folder that is gone.
    RecordingPrompt again;
    EXPECT_FALSE(SavePrefsFile(dir.file("gone"), p, again));
    EXPECT_EQ(again.beeps, 1);
    EXPECT_EQ(again.messages, QStringList{"Cannot Write Preferences"});
}

// ---- Users -------------------------------------------------------------------------------

UserList SampleUsers()
{
    return {MakeUserRecord({"ann", "pw1", "me", "mypw", "S", "10.0.0.2", "5000"}),
            MakeUserRecord({"bob", "pw2", "me2", "x", "D", "http://example.net/bob.html", "4444"}),
            MakeUserRecord({"c\xe9", "p w", "", "", "S", "host", "1024"})};
}

bool IsUpperHex(const QByteArray &text)
{
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

TEST(UsersFile, RecordLayout)
{
    const UserRecord r = MakeUserRecord({"ann", "pw", "me", "mypw", "S", "1.2.3.4", "5000"});
    EXPECT_EQ(r, QByteArray("ann\x01pw\x01me\x01mypw\x01S\x01"
                            "1.2.3.4\x01"
                            "5000\x01\x01\x01"));
    EXPECT_EQ(FieldOf(r, UserAddress), "1.2.3.4");
    EXPECT_EQ(FieldOf(r, UserPort), "5000");
    EXPECT_EQ(FieldOf(r, 9), "");
}

TEST(UsersFile, SaveAndLoadRoundTrip)
{
    ScratchDir dir;
    RecordingPrompt prompt;
    UserList users = SampleUsers();
    users.append(MakeUserRecord({"cr\rin", "pass\r"})); // code 13 is removed on saving
    ASSERT_TRUE(SaveUsersFile(dir.path(), users, prompt));
    const QByteArray stored = dir.read("Parcelwise_Users");
    EXPECT_EQ(stored, EncodeUsers(users));
    EXPECT_TRUE(IsUpperHex(stored)); // no line end after the digits either
    EXPECT_EQ(stored.size() % 16, 0);

    UserList back;
    LoadUsersFile(dir.path(), back);
    UserList expected = SampleUsers();
    expected.append(MakeUserRecord({"crin", "pass"}));
    EXPECT_EQ(back, expected);
    EXPECT_EQ(prompt.beeps, 0);
}

TEST(UsersFile, OneUserTakesSixteenDigitsPerBlock)
{
    // The line plus its code-13 terminator, padded to whole 8-byte blocks.
    for (int length : {1, 6, 7, 8, 15, 16, 100}) {
        const UserList one{UserRecord(length, 'u')};
        const int blocks = (length + 1 + 7) / 8;
        EXPECT_EQ(EncodeUsers(one).size(), 16 * blocks) << length;
        EXPECT_EQ(DecodeUsers(EncodeUsers(one)), one) << length;
    }
}

TEST(UsersFile, DecodingSplitsAtEveryCR)
{
    EXPECT_EQ(DecodeUsers(EncryptToHex("\r\rx\r")), (UserList{"", "", "x"}));
    EXPECT_EQ(DecodeUsers(EncryptToHex("a\rdropped")), UserList{"a"});
    EXPECT_EQ(DecodeUsers(EncryptToHex("no terminator")), UserList{});
}

TEST(UsersFile, DamagedFilesGiveNoOrMeaninglessUsers)
{
    const QByteArray good = EncodeUsers(SampleUsers());

    QByteArray plain;
    for (const UserRecord &u : SampleUsers())
        plain += u + '\r';
    Blowfish other;
    other.InitCipher("a different key than the program's own, 56 chars long!!!");
    const UserList underOtherKey = DecodeUsers(other.EncryptToHex(plain));
    for (const UserRecord &u : underOtherKey)
        EXPECT_FALSE(u.contains("ann")) << "decoded under the wrong key";

    const struct {
        const char *what;
        QByteArray content;
    } cases[] = {
        {"one digit short", good.left(good.size() - 1)},
        {"half a block short", good.left(good.size() - 8)},
        {"one digit", "A"},
        {"CR LF after the digits", good + "\r\n"},
        {"a non-hex digit", good.left(good.size() - 1) + "G"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DecodeUsers(c.content), UserList{}) << c.what;
    // Losing whole blocks from the end keeps the users that lie wholly before the cut.
    const QByteArray twoBlocks = EncodeUsers({"aaaaaaa", "bbbbbbb"});
    ASSERT_EQ(twoBlocks.size(), 32);
    EXPECT_EQ(DecodeUsers(twoBlocks.left(16)), UserList{"aaaaaaa"});
}

TEST(UsersFile, EmptyListDeletesAndMissingFileLeavesListAlone)
{
    ScratchDir dir;
    RecordingPrompt prompt;
    ASSERT_TRUE(SaveUsersFile(dir.path(), SampleUsers(), prompt));
    ASSERT_TRUE(FileExists(dir.file("Parcelwise_Users")));
    ASSERT_TRUE(SaveUsersFile(dir.path(), {}, prompt));
    EXPECT_FALSE(FileExists(dir.file("Parcelwise_Users")));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{});

    UserList users{"kept"};
    LoadUsersFile(dir.path(), users);
    EXPECT_EQ(users, UserList{"kept"});

    // An existing but blank file empties the list.
    dir.write("Parcelwise_Users", "  ");
    LoadUsersFile(dir.path(), users);
    EXPECT_EQ(users, UserList{});
}

TEST(UsersFile, FailedSaveWarnsAndKeepsTheOldFile)
{
    ScratchDir dir;
    RecordingPrompt prompt;
    ASSERT_TRUE(SaveUsersFile(dir.path(), SampleUsers(), prompt));
    const QByteArray old = dir.read("Parcelwise_Users");

    UserList more = SampleUsers();
    for (int i = 0; i < 50; ++i)
        more.append(MakeUserRecord({"user" + QByteArray::number(i), "pw"}));
    bool saved = true;
    {
        FileSizeLimit full(16);
        ASSERT_TRUE(full.active());
        saved = SaveUsersFile(dir.path(), more, prompt);
    }
    EXPECT_FALSE(saved);
    EXPECT_EQ(prompt.beeps, 1);
    EXPECT_EQ(prompt.messages, QStringList{"Cannot Write User Data"});
    EXPECT_EQ(dir.read("Parcelwise_Users"), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Parcelwise_Users"});

    // A folder standing where the file goes.
    ScratchDir blocked;
    QDir(blocked.path()).mkdir("Parcelwise_Users");
    RecordingPrompt again;
    EXPECT_FALSE(SaveUsersFile(blocked.path(), SampleUsers(), again));
    EXPECT_EQ(again.beeps, 1);
    EXPECT_EQ(again.messages, QStringList{"Cannot Write User Data"});
}

// ---- Hostile files -----------------------------------------------------------------------

struct Hostile {
    const char *what;
    QByteArray content;
};

std::vector<Hostile> HostileFiles()
{
    return {
        {"garbage", "hello \x7f\xff\xfe world {}[]<>\t\x1b[2J"},
        {"NUL bytes", QByteArray(4096, '\0')},
        {"NUL inside lines", QByteArray("PO5000\0\rRE\0"
                                        "3\r\0SDD\r",
                                        18)},
        {"1 MB random", PatternBytes(1 << 20, 7)},
        {"only CRs", QByteArray(100000, '\r')},
        {"only CR LFs", QByteArray("\r\n").repeated(50000)},
        {"lone hex digit", "A"},
        {"hex of a whole block, not a users file", "0123456789ABCDEF"},
        {"lower-case hex", "0123456789abcdef0123456789abcdef"},
        {"huge number", "PO" + QByteArray(100000, '9') + "\rRE-" + QByteArray(100000, '9') + "\r"},
        {"huge exponent", "PO1e99999\rSE-1e99999\r"},
        {"one long line without CR", QByteArray(1 << 20, 'P')},
        {"long text value", "FL" + QByteArray(1 << 20, 'x') + "\r"},
    };
}

TEST(HostileFiles, PreferencesLoadWithSaneValues)
{
    for (const Hostile &h : HostileFiles()) {
        ScratchDir dir;
        dir.write("Parcelwise_Prefs", h.content);
        Preferences p;
        LoadPrefsFile(dir.path(), p);
        EXPECT_GE(p.ListenPort, 1024) << h.what;
        EXPECT_LE(p.ListenPort, 65535) << h.what;
        EXPECT_GE(p.ReceiveChannels, 1) << h.what;
        EXPECT_LE(p.ReceiveChannels, 4) << h.what;
        EXPECT_GE(p.SendChannels, 0) << h.what;
        EXPECT_LE(p.SendChannels, 4) << h.what;
        const QByteArray stored = EncodePrefs(p);
        EXPECT_TRUE(stored.contains("\rSDS\r") || stored.contains("\rSDD\r")) << h.what;
        // Whatever was read can be saved and read back unchanged.
        RecordingPrompt prompt;
        ASSERT_TRUE(SavePrefsFile(dir.path(), p, prompt)) << h.what;
        Preferences back;
        LoadPrefsFile(dir.path(), back);
        EXPECT_EQ(EncodePrefs(back), EncodePrefs(p)) << h.what;
    }
}

TEST(HostileFiles, SpecificPreferenceOutcomes)
{
    const auto load = [](const QByteArray &content) {
        ScratchDir dir;
        dir.write("Parcelwise_Prefs", content);
        Preferences p;
        LoadPrefsFile(dir.path(), p);
        return p;
    };
    const Preferences nul = load(QByteArray("PO5000\0\rRE\0"
                                            "3\r\0SDD\r",
                                            18));
    EXPECT_EQ(nul.ListenPort, 5000);   // the number stops at the NUL
    EXPECT_EQ(nul.ReceiveChannels, 1); // a NUL before the digits reads as no number
    EXPECT_EQ(nul.AddressType, AddressKind::Static);   // a line that begins with NUL matches no key
    const Preferences huge = load("PO" + QByteArray(100000, '9') + "\rRE-" + QByteArray(100000, '9') + "\r");
    EXPECT_EQ(huge.ListenPort, 4444);
    EXPECT_EQ(huge.ReceiveChannels, 1);
    EXPECT_EQ(load(QByteArray(100000, '\r')).ListenPort, 4444);
    EXPECT_EQ(load("FL" + QByteArray(1 << 20, 'x') + "\r").FtpLogin.size(), 1 << 20);
}

bool IsHexBlocks(const QByteArray &text)
{
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return !text.isEmpty() && text.size() % 16 == 0;
}

TEST(HostileFiles, UsersLoadWithoutHarm)
{
    for (const Hostile &h : HostileFiles()) {
        ScratchDir dir;
        dir.write("Parcelwise_Users", h.content);
        UserList users{"before"};
        LoadUsersFile(dir.path(), users);
        EXPECT_FALSE(users.contains("before")) << h.what; // an existing file always replaces the list
        // None of these is a file this program wrote: only a whole-block hex text can decode to
        // anything, and then to at most one entry per decoded byte.
        if (!IsHexBlocks(h.content))
            EXPECT_EQ(users, UserList{}) << h.what;
        else
            EXPECT_LE(users.size(), h.content.size() / 2) << h.what;
    }
}

} // namespace
