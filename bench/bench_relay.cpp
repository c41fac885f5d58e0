// A TCP relay on loopback that delays every byte by a fixed time in each direction, to stand in
// for a long link. Each connection to 127.0.0.1:LISTEN gets its own connection to
// 127.0.0.1:TARGET; data is held until its due time and at most 16 MiB is held per direction
// (reading stops while full). A close is passed on after the data before it. The relay ends by
// itself once it has been idle (no connection open) for IDLE seconds, and after LIFETIME seconds.
//   bench_relay LISTEN TARGET DELAY_MS [IDLE_S=30] [LIFETIME_S=3600]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kHeldMax = 16u << 20;

struct Chunk {
  Clock::time_point due;
  std::string data;  // empty: the close of the source side
};

struct Direction {
  int from = -1, to = -1;
  std::deque<Chunk> held;
  size_t heldBytes = 0;
  size_t sentOfFront = 0;
  bool readDone = false, closed = false;
};

struct Pair {
  int a = -1, b = -1;
  Direction up, down;
};

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

void NonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Sends what is due, in order; a held close is passed on as a half-close once reached.
void Flush(Direction& d, Clock::time_point now) {
  while (!d.held.empty() && d.held.front().due <= now) {
    Chunk& c = d.held.front();
    if (c.data.empty()) {
      shutdown(d.to, SHUT_WR);
      d.closed = true;
      d.held.pop_front();
      return;
    }
    ssize_t n = send(d.to, c.data.data() + d.sentOfFront, c.data.size() - d.sentOfFront, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      d.closed = true;
      d.readDone = true;
      d.held.clear();
      d.heldBytes = 0;
      return;
    }
    d.sentOfFront += static_cast<size_t>(n);
    if (d.sentOfFront == c.data.size()) {
      d.heldBytes -= c.data.size();
      d.sentOfFront = 0;
      d.held.pop_front();
    } else {
      return;
    }
  }
}

void Read(Direction& d, Clock::time_point due) {
  static char buf[256 * 1024];
  ssize_t n = recv(d.from, buf, sizeof buf, 0);
  if (n > 0) {
    d.held.push_back({due, std::string(buf, static_cast<size_t>(n))});
    d.heldBytes += static_cast<size_t>(n);
  } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    d.readDone = true;
    d.held.push_back({due, std::string()});
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_relay LISTEN TARGET DELAY_MS [IDLE_S] [LIFETIME_S]\n");
    return 2;
  }
  const int listenPort = std::atoi(argv[1]), target = std::atoi(argv[2]);
  const auto delay = std::chrono::milliseconds(std::atoi(argv[3]));
  const auto idle = std::chrono::seconds(argc > 4 ? std::atoi(argv[4]) : 30);
  const auto lifetime = std::chrono::seconds(argc > 5 ? std::atoi(argv[5]) : 3600);
  std::signal(SIGPIPE, SIG_IGN);

  int ls = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in la = Loopback(listenPort);
  if (bind(ls, reinterpret_cast<sockaddr*>(&la), sizeof la) != 0 || listen(ls, 128) != 0) {
    std::perror("bench_relay: listen");
    return 1;
  }
  NonBlocking(ls);
  std::vector<std::unique_ptr<Pair>> pairs;
  const auto start = Clock::now();
  auto lastActive = start;
  for (;;) {
    auto now = Clock::now();
    if (now - start > lifetime || (pairs.empty() && now - lastActive > idle)) break;
    std::vector<pollfd> fds{{ls, POLLIN, 0}};
    for (auto& p : pairs) {
      for (Direction* d : {&p->up, &p->down}) {
        short ev = 0;
        if (!d->readDone && d->heldBytes < kHeldMax) ev |= POLLIN;
        fds.push_back({d->from, ev, 0});
        short out = (!d->held.empty() && d->held.front().due <= now) ? POLLOUT : 0;
        fds.push_back({d->to, out, 0});
      }
    }
    int wait = 100;
    for (auto& p : pairs)
      for (Direction* d : {&p->up, &p->down})
        if (!d->held.empty()) {
          auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d->held.front().due - now).count();
          wait = std::min<int>(wait, static_cast<int>(std::max<long long>(ms, 0) + 1));
        }
    poll(fds.data(), fds.size(), wait);
    now = Clock::now();
    if (fds[0].revents & POLLIN) {
      for (int c; (c = accept(ls, nullptr, nullptr)) >= 0;) {
        int t = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in ta = Loopback(target);
        if (connect(t, reinterpret_cast<sockaddr*>(&ta), sizeof ta) != 0) {
          close(c);
          close(t);
          continue;
        }
        for (int fd : {c, t}) {
          NonBlocking(fd);
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
        auto p = std::make_unique<Pair>();
        p->a = c;
        p->b = t;
        p->up.from = c;
        p->up.to = t;
        p->down.from = t;
        p->down.to = c;
        pairs.push_back(std::move(p));
      }
    }
    size_t i = 1;
    for (auto& p : pairs)
      for (Direction* d : {&p->up, &p->down}) {
        if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) Read(*d, now + delay);
        i += 2;
        Flush(*d, now);
      }
    for (auto it = pairs.begin(); it != pairs.end();) {
      Pair& p = **it;
      if (p.up.closed && p.down.closed) {
        close(p.a);
        close(p.b);
        it = pairs.erase(it);
      } else {
        ++it;
      }
    }
    if (!pairs.empty()) lastActive = now;
  }
  for (auto& p : pairs) {
    close(p->a);
    close(p->b);
  }
  close(ls);
  return 0;
}
