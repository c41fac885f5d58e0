// The copy ceiling on this machine: one file from disk to a TCP socket with sendfile() and from
// the socket into a file with splice() through a pipe, no user-space copy on either side.
//   bench_copier recv PORT OUTFILE     listens on 127.0.0.1:PORT, takes one connection
//   bench_copier send FILE PORT        connects to 127.0.0.1:PORT, sends FILE, closes
// Prints the bytes moved; exits non-zero on any failure.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int Fail(const char* what) {
  std::fprintf(stderr, "bench_copier: %s: %s\n", what, std::strerror(errno));
  return 1;
}

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int Receive(int port, const char* out) {
  int ls = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(port);
  if (bind(ls, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail("bind");
  if (listen(ls, 1) != 0) return Fail("listen");
  int s = accept(ls, nullptr, nullptr);
  if (s < 0) return Fail("accept");
  close(ls);
  int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return Fail("open");
  int p[2];
  if (pipe(p) != 0) return Fail("pipe");
  fcntl(p[1], F_SETPIPE_SZ, 1 << 20);
  loff_t off = 0;
  for (;;) {
    ssize_t in = splice(s, nullptr, p[1], nullptr, 1 << 20, SPLICE_F_MOVE);
    if (in < 0) {
      if (errno == EINTR) continue;
      return Fail("splice from socket");
    }
    if (in == 0) break;
    while (in > 0) {
      ssize_t o = splice(p[0], nullptr, fd, &off, static_cast<size_t>(in), SPLICE_F_MOVE);
      if (o < 0) {
        if (errno == EINTR) continue;
        return Fail("splice to file");
      }
      in -= o;
    }
  }
  close(fd);
  close(s);
  std::printf("%lld\n", static_cast<long long>(off));
  return 0;
}

int Send(const char* file, int port) {
  int fd = open(file, O_RDONLY);
  if (fd < 0) return Fail("open");
  struct stat st{};
  fstat(fd, &st);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return Fail("connect");
  off_t off = 0;
  while (off < st.st_size) {
    ssize_t n = sendfile(s, fd, &off, static_cast<size_t>(st.st_size - off));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Fail("sendfile");
    }
    if (n == 0) break;
  }
  close(s);
  close(fd);
  std::printf("%lld\n", static_cast<long long>(off));
  return off == st.st_size ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "recv") == 0) return Receive(std::atoi(argv[2]), argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "send") == 0) return Send(argv[2], std::atoi(argv[3]));
  std::fprintf(stderr, "usage: bench_copier recv PORT OUTFILE | send FILE PORT\n");
  return 2;
}
