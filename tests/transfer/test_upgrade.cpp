// The upgrade to TLS and the pin rules as plain decisions: what each side answers to what it
// has buffered, for every setting and pin, and the refusals with their log texts.
#include "transfer/Upgrade.h"

#include <gtest/gtest.h>

using namespace Upgrade;

namespace {

const QByteArray FpA = QByteArray(64, 'A');
const QByteArray FpB = QByteArray(64, 'B');
const QByteArray GroupedA = "AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA AAAA";
const QByteArray GroupedB = "BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB";

PinView Pinned(const QByteArray &fp) { return PinView{false, fp}; }
const PinView NoPin{};
const PinView Unreadable{true, std::nullopt};

TEST(Upgrade, GreetingCarriesTheOfferOnlyWhenAsked)
{
    EXPECT_EQ(Greeting(true), "100 PARCELWISE WELCOME STARTTLS\r\r");
    EXPECT_EQ(Greeting(false), "100 PARCELWISE WELCOME\r\r");
    const struct {
        QByteArray greeting;
        bool offers;
    } cases[] = {
        {"100 PARCELWISE WELCOME STARTTLS\r\r", true},
        {"100 PARCELWISE WELCOME\r\r", false},
        {"100 STARTTLS\r\r", true},
        {"100 PARCELWISE WELCOME STARTTLS2\r\r", false},   // a whole word only
        {"100 PARCELWISE WELCOME starttls\r\r", false},    // as written
        {"100 PARCELWISE WELCOME\r\rSTARTTLS", false},     // nothing after the terminator counts
        {"100STARTTLS\r\r", false},                        // the code's own word
        {"400 PARCELWISE BUSY STARTTLS\r\r", false},       // no WELCOME, no offer
        {"STARTTLS\r\r", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(OffersEncryption(c.greeting), c.offers) << c.greeting.constData();
}

TEST(Upgrade, SenderAnswersTheGreetingBySettingAndPin)
{
    const QByteArray offer = OfferingWelcome, plain = "100 PARCELWISE WELCOME\r\r";
    using S = EncryptionSetting;
    const struct {
        const char *what;
        QByteArray greeting;
        S setting;
        bool canEncrypt;
        PinView pin;
        SenderStep step;
        QByteArray code;
    } cases[] = {
        {"offer taken", offer, S::Prefer, true, NoPin, SenderStep::StartTls, ""},
        {"offer taken, pinned", offer, S::Require, true, Pinned(FpA), SenderStep::StartTls, ""},
        {"older receiver, plain", plain, S::Prefer, true, NoPin, SenderStep::Request, ""},
        {"off ignores the offer", offer, S::Off, true, NoPin, SenderStep::Request, ""},
        {"no key of our own", offer, S::Prefer, false, NoPin, SenderStep::Request, ""},
        {"require, no offer", plain, S::Require, true, NoPin, SenderStep::Refuse, "448"},
        {"pinned, no offer", plain, S::Prefer, true, Pinned(FpA), SenderStep::Refuse, "448"},
        {"pinned, off", offer, S::Off, true, Pinned(FpA), SenderStep::Refuse, "448"},
        {"pins unreadable", offer, S::Prefer, true, Unreadable, SenderStep::Refuse, "447"},
        {"busy", "400 PARCELWISE BUSY\r\r", S::Prefer, true, Pinned(FpA), SenderStep::Refuse, "425"},
    };
    for (const auto &c : cases) {
        const SenderDecision d = DecideGreeting(c.greeting, c.setting, c.canEncrypt, c.pin);
        EXPECT_EQ(d.step, c.step) << c.what;
        EXPECT_EQ(d.code, c.code) << c.what;
    }
}

TEST(Upgrade, SenderStartsTlsOnlyOnAWholeGoAhead)
{
    EXPECT_TRUE(IsGoAhead("110 GO AHEAD\r\r"));
    EXPECT_TRUE(IsGoAhead("110\r\r"));
    EXPECT_FALSE(IsGoAhead("110 GO AHEAD\r\r\x16\x03\x01"));
    EXPECT_FALSE(IsGoAhead("110 GO AHEAD"));
    EXPECT_FALSE(IsGoAhead("401\r\r"));
    EXPECT_FALSE(IsGoAhead("11\r\r"));
}

TEST(Upgrade, SenderChecksTheReceiversKeyAgainstThePin)
{
    const SenderKeyCheck first = CheckReceiverKey(NoPin, FpA);
    EXPECT_TRUE(first.ok);
    EXPECT_TRUE(first.pinAfterReply);
    const SenderKeyCheck same = CheckReceiverKey(Pinned(FpA), FpA);
    EXPECT_TRUE(same.ok);
    EXPECT_FALSE(same.pinAfterReply);
    const SenderKeyCheck changed = CheckReceiverKey(Pinned(FpA), FpB);
    EXPECT_FALSE(changed.ok);
    EXPECT_EQ(changed.detail, ": pinned " + GroupedA + ", offered " + GroupedB);
    EXPECT_FALSE(CheckReceiverKey(NoPin, "").ok);
    EXPECT_FALSE(CheckReceiverKey(Unreadable, FpA).ok);
    EXPECT_TRUE(ReplySetsPin("101"));
    EXPECT_TRUE(ReplySetsPin("406"));
    EXPECT_FALSE(ReplySetsPin("402"));
    EXPECT_FALSE(ReplySetsPin("405"));
}

TEST(Upgrade, ReceiverTakesStartTlsOnlyAsTheWholeMessageAfterItsOffer)
{
    const struct {
        QByteArray buffered;
        bool offered, encrypted;
        ReceiverStep step;
    } cases[] = {
        {"STARTTLS\r\r", true, false, ReceiverStep::StartTls},
        {"STARTTLS\r\r", false, false, ReceiverStep::RefuseNoOffer},
        {"STARTTLS\r\r", true, true, ReceiverStep::Request},          // inside TLS it is no command
        {"STARTTLS\r\rABCD", true, false, ReceiverStep::Request},     // something after it
        {"STARTTLS \r\r", true, false, ReceiverStep::Request},
        {"starttls\r\r", true, false, ReceiverStep::Request},
        {"0123456789ABCDEF\r\r", true, false, ReceiverStep::Request},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ClassifyMessage(c.buffered, c.offered, c.encrypted), c.step) << c.buffered.constData();
}

TEST(Upgrade, ReceiverTrustsARequestByPinAndSetting)
{
    using S = EncryptionSetting;
    const struct {
        const char *what;
        S setting;
        PinView pin;
        QByteArray offered;
        bool refuse, pin_;
        QByteArray log;
    } cases[] = {
        {"plain, nothing pinned", S::Prefer, NoPin, "", false, false, ""},
        {"plain, off", S::Off, NoPin, "", false, false, ""},
        {"plain, require", S::Require, NoPin, "", true, false, "Refused unencrypted request from ann"},
        {"plain, pinned", S::Prefer, Pinned(FpA), "", true, false, "Refused unencrypted request from ann"},
        {"first encrypted", S::Prefer, NoPin, FpA, false, true, ""},
        {"same key", S::Require, Pinned(FpA), FpA, false, false, ""},
        {"other key", S::Prefer, Pinned(FpA), FpB, true, false,
         "Refused key for ann: pinned " + GroupedA + ", offered " + GroupedB},
        {"pins unreadable", S::Prefer, Unreadable, FpA, true, false,
         "Cannot check the key of ann: the pins file cannot be read"},
    };
    for (const auto &c : cases) {
        const ReceiverTrust t = DecideRequestTrust("ann", c.setting, c.pin, c.offered);
        EXPECT_EQ(t.refuse, c.refuse) << c.what;
        EXPECT_EQ(t.pin, c.pin_) << c.what;
        EXPECT_EQ(t.logLine, c.log) << c.what;
    }
}

} // namespace
