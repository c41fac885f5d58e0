// The encrypted copy ceiling on this machine: one file over TLS 1.3 on loopback with as little
// work around the cipher as OpenSSL allows, for comparison with the program's encrypted transfers.
//   bench_tls_copier recv PORT OUTFILE   listens on 127.0.0.1:PORT, takes one connection
//   bench_tls_copier send FILE PORT      connects to 127.0.0.1:PORT, sends FILE, closes
// Both ends make a P-256 key and a self-signed certificate at start and show it, as the
// program's installations do; the suite is OpenSSL's first choice, as it is for the program.
// The sender reads the file 256 KiB at a time, encrypts each piece into one buffer of records and
// hands the whole buffer to the socket in one call; the receiver reads ahead up to 256 KiB per
// call, decrypts, and writes the file 256 KiB at a time. Everything blocks: no event loop, no
// per-record system call. Prints the bytes moved; exits non-zero on any failure.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr size_t PieceBytes = 256 * 1024;

int Fail(const char *what)
{
    std::fprintf(stderr, "bench_tls_copier: %s: %s\n", what, std::strerror(errno));
    ERR_print_errors_fp(stderr);
    return 1;
}

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A context with a fresh key and a self-signed certificate for it, TLS 1.3 only.
SSL_CTX *MakeContext(bool server)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    if (!key || !cert)
        return nullptr;
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME *name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("bench"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    if (X509_sign(cert, key, EVP_sha256()) == 0)
        return nullptr;
    SSL_CTX *ctx = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (!ctx)
        return nullptr;
    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION);
    SSL_CTX_use_certificate(ctx, cert);
    SSL_CTX_use_PrivateKey(ctx, key);
    // Each end asks for the other's certificate and takes any (the program trusts a pinned key).
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, [](int, X509_STORE_CTX *) { return 1; });
    X509_free(cert);
    EVP_PKEY_free(key);
    return ctx;
}

// The sender's records collect here and go to the socket in one call per piece.
std::vector<char> outgoing;

int CollectWrite(BIO *, const char *data, size_t length, size_t *written)
{
    outgoing.insert(outgoing.end(), data, data + length);
    *written = length;
    return 1;
}

long CollectControl(BIO *, int command, long, void *)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

bool SendCollected(int s)
{
    size_t done = 0;
    while (done < outgoing.size()) {
        const ssize_t n = send(s, outgoing.data() + done, outgoing.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    outgoing.clear();
    return true;
}

int Receive(int port, const char *out)
{
    SSL_CTX *ctx = MakeContext(true);
    if (!ctx)
        return Fail("key");
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_default_read_buffer_len(ctx, PieceBytes);
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a = Loopback(port);
    if (bind(ls, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return Fail("bind");
    if (listen(ls, 1) != 0)
        return Fail("listen");
    int s = accept(ls, nullptr, nullptr);
    if (s < 0)
        return Fail("accept");
    close(ls);
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, s);
    if (SSL_accept(ssl) != 1)
        return Fail("handshake");
    int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return Fail("open");
    std::vector<char> piece(PieceBytes);
    off_t off = 0;
    for (;;) {
        size_t got = 0;
        size_t n = 0;
        int r = SSL_read_ex(ssl, piece.data(), piece.size(), &n);
        if (r != 1) {
            if (SSL_get_error(ssl, r) == SSL_ERROR_ZERO_RETURN)
                break;
            return Fail("read");
        }
        got = n;
        // Whatever the last read brought in is decrypted before the file is written.
        while (got < piece.size() && SSL_has_pending(ssl) && SSL_read_ex(ssl, piece.data() + got, piece.size() - got, &n) == 1)
            got += n;
        for (size_t done = 0; done < got;) {
            const ssize_t w = pwrite(fd, piece.data() + done, got - done, off);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return Fail("write");
            done += static_cast<size_t>(w);
            off += w;
        }
    }
    close(fd);
    close(s);
    std::printf("%lld\n", static_cast<long long>(off));
    return 0;
}

int Send(const char *file, int port)
{
    SSL_CTX *ctx = MakeContext(false);
    if (!ctx)
        return Fail("key");
    int fd = open(file, O_RDONLY);
    if (fd < 0)
        return Fail("open");
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
        return Fail("connect");
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, s);
    if (SSL_connect(ssl) != 1)
        return Fail("handshake");
    // From here the records are collected and sent a piece at a time.
    BIO_METHOD *method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "collect");
    BIO_meth_set_write_ex(method, CollectWrite);
    BIO_meth_set_ctrl(method, CollectControl);
    BIO *collect = BIO_new(method);
    BIO_set_init(collect, 1);
    SSL_set0_wbio(ssl, collect);
    outgoing.reserve(PieceBytes + 64 * 1024);
    std::vector<char> piece(PieceBytes);
    off_t off = 0;
    for (;;) {
        const ssize_t n = pread(fd, piece.data(), piece.size(), off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Fail("read");
        if (n == 0)
            break;
        size_t written = 0;
        if (SSL_write_ex(ssl, piece.data(), static_cast<size_t>(n), &written) != 1 || !SendCollected(s))
            return Fail("send");
        off += n;
    }
    SSL_shutdown(ssl);
    if (!SendCollected(s))
        return Fail("send");
    // The receiver closes once it has everything; until then its unread tickets stay unread here.
    shutdown(s, SHUT_WR);
    char rest[4096];
    while (read(s, rest, sizeof rest) > 0) {
    }
    close(s);
    close(fd);
    std::printf("%lld\n", static_cast<long long>(off));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "recv") == 0)
        return Receive(std::atoi(argv[2]), argv[3]);
    if (argc == 4 && std::strcmp(argv[1], "send") == 0)
        return Send(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: bench_tls_copier recv PORT OUTFILE | send FILE PORT\n");
    return 2;
}
