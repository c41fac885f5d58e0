// The decisions of the FTP upload client as plain code: the URL split and the start checks, the
// data-port counter, the reply reader and the reply table, the ending of an attempt and the result
// records. No sockets and no clock here; FtpUpload feeds these and acts on the answers.
#pragma once

#include "core/Limits.h"
#include "dynaddr/UrlMask.h"

#include <QByteArray>
#include <QList>
#include <QtGlobal>
#include <functional>
#include <optional>

// ---- URL and start checks

// The two schemes of a page's FTP URL: "ftp://" posts in the clear in active mode; "ftpes://"
// (explicit TLS on the control port, 21 unless the URL names another) posts in passive mode
// over TLS on both connections and never falls back to clear text. Implicit TLS is not spoken.
inline constexpr char FtpScheme[] = "ftp://";
inline constexpr char FtpesScheme[] = "ftpes://";
// The length of the URL's FTP scheme, 0 when it begins with neither (case matters).
qsizetype FtpSchemeLength(const QByteArray &url);

// What an "ftp://" or "ftpes://" URL says. Site and File are both empty when the URL begins
// with neither scheme or has no "/" after the host; File keeps its leading "/". User
// information with a colon gives the login (even an empty one) and a non-empty password; a
// non-empty text after a colon behind the host gives the port. What the URL does not give keeps
// the value given apart. Tls tells the "ftpes://" scheme.
struct FtpUrlParts {
    QByteArray Site;
    QByteArray File;
    std::optional<QByteArray> Login;
    std::optional<QByteArray> Password;
    std::optional<QByteArray> Port;
    bool Tls = false;
    bool operator==(const FtpUrlParts &) const = default;
};
FtpUrlParts ParseFtpUrl(const QByteArray &url);

// Everything one upload needs, after the checks.
struct FtpTarget {
    QByteArray Site;
    QByteArray File;      // the stored file name, without its leading "/"
    QByteArray Login;
    QByteArray Password;
    QByteArray PortText;  // the control port as given
    int Port = 21;
    bool Tls = false;     // "ftpes://": TLS and passive mode
    bool operator==(const FtpTarget &) const = default;
};
// The URL overlaid on the given login, password and port text; none when the command is refused
// for bad parameters (result "899"): an empty URL, login or password, an "http://" URL, a
// control port outside 1..65535, an empty site or file, or a CR or LF in what goes on the wire.
std::optional<FtpTarget> CheckFtpStart(const QByteArray &url, const QByteArray &login, const QByteArray &password,
                                       const QByteArray &portText);


// ---- Data port

inline constexpr int FirstDataPortCounter = 1555;
// The next value of the data-port counter: +1; 2000 and above wrap to 1002; 1080 becomes 1082
// and 1417 becomes 1445; a result equal to the receive port moves on by 2.
int AdvanceDataPort(int counter, int listenPort);
// A port the client may announce: one it may listen on.
inline bool UsableDataPort(int port) { return IsListenPort(port); }
// How many further candidates are tried when a data port cannot be used.
inline constexpr int DataPortSkips = 64;
// Advances the counter to the first candidate that is usable and that tryListen takes, trying
// at most 1 + DataPortSkips candidates; none when all of them failed. The counter stays on the
// last candidate tried.
std::optional<int> PickDataPort(int &counter, int listenPort, const std::function<bool(int port)> &tryListen);
// The six numbers of PORT: the IPv4 address with "." as ",", then the port's high and low byte.
QByteArray PortArgument(quint32 ipv4, int port);

// ---- Reply reader

// Collects the control connection's text and hands back each complete line (ending in CR LF)
// and, once a read ends on a line whose fourth character is not "-", the final line's code.
// An unfinished line stays for the next read; one longer than LineLimit is an overflow.
class FtpReplyReader {
public:
    static constexpr qsizetype LineLimit = 64 * 1024;

    struct Result {
        QList<QByteArray> Lines;  // the complete lines of this read, without CR LF
        bool Final = false;       // the last of them ends a reply: act on Code
        QByteArray Code;          // first three characters of the last complete line
        bool Overflow = false;    // an unfinished line outgrew LineLimit
    };

    Result Feed(const QByteArray &data);
    void Clear() { buffer_.clear(); }
    qsizetype Pending() const { return buffer_.size(); }

private:
    QByteArray buffer_;
};

// ---- Reply table

// The step whose reply is awaited where the code alone does not tell it: the "200" of TYPE A,
// PORT, PBSZ or PROT, and the reply to EPSV or PASV.
enum class FtpReplyStep { None, Type, Port, Pbsz, Prot, Epsv, Pasv };

enum class FtpReplyAction {
    Success,      // "226" once the whole page went out after STOR: the page is stored
    SendUser,
    SendPass,
    FailWithCode, // the attempt ends with the received code
    SendPwd,
    SendType,
    SendPort,
    Fail882,      // TYPE A or PORT not accepted
    SendStor,
    Ignore,       // preliminary replies ("150", "125") and anything below 400 out of turn
    // Over TLS ("ftpes://") only:
    SendAuth,     // the greeting came: AUTH TLS before anything else
    StartTls,     // "234": the TLS handshake on the control connection, then USER
    Fail855,      // AUTH TLS refused: the attempt ends, nothing goes out in the clear
    SendPbsz,     // logged in: PBSZ 0
    SendProt,     // PROT P
    Fail857,      // PBSZ or PROT refused
    Fail856,      // "522" to STOR: the server failed the data connection's TLS (a session it
                  // would not resume, say)
    SendEpsv,     // passive mode, extended form first
    SendPasv,     // EPSV refused or unreadable: PASV
    ConnectData,  // "229" or "227" named a port: connect to it, then STOR
};

// The action for a reply whose last line is finalLine (its first three characters are the
// code), given the reply awaited, the step, whether every byte of the page was written on the
// data connection and whether the site is posted to over TLS; rows tried from the top. Before
// the page is out "226" confirms nothing and is read like any other reply of the step (after
// USER it ends the attempt with its code). Over TLS every reply but "234" to AUTH TLS ends the
// attempt with 855, and every reply but "200" to PBSZ or PROT with 857.
FtpReplyAction DecideFtpReply(const QByteArray &finalLine, const QByteArray &expected, FtpReplyStep step,
                              bool pageWritten, bool tls);

// The port a passive-mode reply names: "229 ... (|||port|)" (any one delimiter from "!" to "~"
// in the four places) or "227 ... h1,h2,h3,h4,p1,p2" (the address is not used: the data
// connection goes to the control connection's server). None for anything else, a number out of
// range or port 0.
std::optional<int> PassivePort(const QByteArray &line);

// A preliminary reply ("125", "150") to STOR: the server now takes the data, so the page may go
// out on the data connection. Sent earlier, some servers drop it with the connection.
bool DataMayFlow(const QByteArray &code, const QByteArray &expected);

// ---- Result records

enum class FtpWord { Go, Disk, Retry, Done, Error, Abort };

struct FtpRecord {
    FtpWord Word = FtpWord::Go;
    QByteArray Code;
    bool operator==(const FtpRecord &) const = default;
};

QByteArray FtpWordText(FtpWord word);
// "FTPFTP\" + word + "\" + code + "\" + CR.
QByteArray FormatFtpRecord(const FtpRecord &record);

// ---- Ending an attempt

enum class FtpEnding { Aborted, Done, Retry, Failed };

struct FtpFinish {
    FtpEnding Ending = FtpEnding::Failed;
    QByteArray Code;                // the code of the ERROR record ("553" reads as "550")
    QList<QByteArray> Diagnostics;  // the lines written on the way
};
// How an attempt with this status code ends, given the attempt number and the retry limit.
FtpFinish DecideFtpFinish(const QByteArray &statusCode, int attemptNumber, int retryLimit);

// The diagnostic text of the posting control's log line for a failure code (empty for codes it
// has no text for). The TLS failures: "855" AUTH TLS refused, "856" the TLS handshake or the
// server's certificate failed on the control or the data connection, "857" PBSZ or PROT refused;
// none of them is retried.
QByteArray FtpDiagnosticText(const QByteArray &code);
