// The installation's own identity for encrypted transfers: an ECDSA P-256 key and a
// self-signed certificate, made once at the first start and kept in "Parcelwise_Key" (PEM,
// private to the owner). Peers know an installation by the SHA-256 of its certificate's public
// key (the SubjectPublicKeyInfo), its fingerprint.
#pragma once

#include <QByteArray>
#include <QSslCertificate>
#include <QSslKey>
#include <QString>

inline constexpr char KeyFileName[] = "Parcelwise_Key";

struct Identity {
    QSslKey key;
    QSslCertificate certificate;
    QByteArray fingerprint; // 64 upper-case hex digits

    bool IsValid() const { return !key.isNull() && !certificate.isNull() && fingerprint.size() == 64; }
};

// A new key and its self-signed certificate as PEM: the private key (PKCS #8), then the
// certificate. Empty when the key cannot be made.
QByteArray MakeIdentityPem();

// Reads the PEM of a key file. The certificate must carry the key's own public key; anything
// else (no key, no certificate, a certificate of another key, not P-256) gives a null identity
// and the reason in problem.
Identity ReadIdentityPem(const QByteArray &pem, QByteArray *problem = nullptr);

// SHA-256 of the certificate's public key as 64 upper-case hex digits; empty for a null
// certificate.
QByteArray KeyFingerprint(const QSslCertificate &certificate);
// The fingerprint as people compare it: groups of four digits separated by blanks.
QByteArray GroupedFingerprint(const QByteArray &fingerprint);

// What the start-up found in the program folder.
struct IdentityLoad {
    enum Status { Loaded, Made, Damaged, CannotWrite };
    Status status = Damaged;
    Identity identity;   // valid for Loaded and Made
    QByteArray problem;  // why, for Damaged and CannotWrite
};

// Reads the key file of the program folder, or makes it when there is none. A file that is
// there but cannot be read as an identity is reported and left as it is: replacing it would
// make every peer that pinned this installation refuse it.
IdentityLoad LoadOrMakeIdentity(const QString &programFolder);
