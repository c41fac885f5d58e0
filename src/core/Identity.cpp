// Making, reading and keeping the installation's key and certificate.
#include "core/Identity.h"

#include "core/FileOps.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <memory>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

struct BioFree {
    void operator()(BIO *b) const { BIO_free(b); }
};
struct PkeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct X509Free {
    void operator()(X509 *x) const { X509_free(x); }
};
struct BnFree {
    void operator()(BIGNUM *b) const { BN_free(b); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Bn = std::unique_ptr<BIGNUM, BnFree>;

QByteArray BioText(BIO *bio)
{
    char *data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return length > 0 ? QByteArray(data, static_cast<qsizetype>(length)) : QByteArray();
}

Bio ReadBio(const QByteArray &bytes)
{
    return Bio(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

bool IsP256(EVP_PKEY *key)
{
    if (!EVP_PKEY_is_a(key, "EC"))
        return false;
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_group_name(key, group, sizeof group, &length) != 1)
        return false;
    const QByteArray name(group, static_cast<qsizetype>(length));
    return name == "prime256v1" || name == "P-256";
}

} // namespace

QByteArray MakeIdentityPem()
{
    Pkey key(EVP_EC_gen("P-256"));
    Cert cert(X509_new());
    if (!key || !cert)
        return {};
    // A random serial number, so that two installations never issue the same one.
    Bn serial(BN_new());
    if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())))
        return {};
    // Trust comes from the pin, not from dates: the certificate does not expire.
    if (X509_set_version(cert.get(), 2) != 1 || !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400) ||
        ASN1_TIME_set_string(X509_getm_notAfter(cert.get()), "99991231235959Z") != 1 ||
        X509_set_pubkey(cert.get(), key.get()) != 1)
        return {};
    X509_NAME *name = X509_get_subject_name(cert.get());
    static const unsigned char commonName[] = "Parcelwise";
    if (X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, commonName, -1, -1, 0) != 1 ||
        X509_set_issuer_name(cert.get(), name) != 1 || X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0)
        return {};
    Bio out(BIO_new(BIO_s_mem()));
    if (!out || PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(out.get(), cert.get()) != 1)
        return {};
    return BioText(out.get());
}

Identity ReadIdentityPem(const QByteArray &pem, QByteArray *problem)
{
    auto fail = [&](const char *why) {
        if (problem)
            *problem = why;
        return Identity();
    };
    if (pem.isEmpty())
        return fail("the file is empty or cannot be read");
    Bio keyBio = ReadBio(pem);
    Pkey key(keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key)
        return fail("it holds no private key");
    if (!IsP256(key.get()))
        return fail("the key is not a P-256 key");
    Bio certBio = ReadBio(pem);
    Cert cert(certBio ? PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!cert)
        return fail("it holds no certificate");
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        return fail("the certificate is not the key's");

    // The same key and certificate in Qt's terms, each from its own PEM block.
    Bio keyOut(BIO_new(BIO_s_mem()));
    Bio certOut(BIO_new(BIO_s_mem()));
    if (!keyOut || !certOut ||
        PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        PEM_write_bio_X509(certOut.get(), cert.get()) != 1)
        return fail("it cannot be read back");
    Identity identity;
    identity.key = QSslKey(BioText(keyOut.get()), QSsl::Ec, QSsl::Pem, QSsl::PrivateKey);
    identity.certificate = QSslCertificate(BioText(certOut.get()), QSsl::Pem);
    identity.fingerprint = KeyFingerprint(identity.certificate);
    if (!identity.IsValid())
        return fail("the TLS layer cannot use it");
    return identity;
}

QByteArray KeyFingerprint(const QSslCertificate &certificate)
{
    if (certificate.isNull())
        return {};
    const QByteArray spki = certificate.publicKey().toDer();
    if (spki.isEmpty())
        return {};
    return QCryptographicHash::hash(spki, QCryptographicHash::Sha256).toHex().toUpper();
}

QByteArray GroupedFingerprint(const QByteArray &fingerprint)
{
    QByteArray grouped;
    for (qsizetype at = 0; at < fingerprint.size(); at += 4) {
        if (at > 0)
            grouped += ' ';
        grouped += fingerprint.mid(at, 4);
    }
    return grouped;
}

IdentityLoad LoadOrMakeIdentity(const QString &programFolder)
{
    IdentityLoad load;
    const QString path = QDir(programFolder).filePath(KeyFileName);
    QFileInfo info(path);
    if (info.exists() || info.isSymLink()) {
        QByteArray problem;
        load.identity = ReadIdentityPem(ReadStoredFile(path), &problem);
        if (load.identity.IsValid()) {
            load.status = IdentityLoad::Loaded;
        } else {
            load.status = IdentityLoad::Damaged;
            load.problem = problem;
        }
        return load;
    }
    const QByteArray pem = MakeIdentityPem();
    load.identity = ReadIdentityPem(pem, &load.problem);
    if (!load.identity.IsValid()) {
        load.status = IdentityLoad::CannotWrite;
        load.problem = "the key cannot be made: " + load.problem;
        return load;
    }
    if (WriteWholeFile(path, pem) != WriteOk) {
        // Without the file the next start would show peers another key; this run does without.
        load.status = IdentityLoad::CannotWrite;
        load.problem = "the file cannot be written";
        load.identity = Identity();
        return load;
    }
    load.status = IdentityLoad::Made;
    return load;
}
