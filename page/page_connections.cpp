#include "page/page_connections.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vesk {

namespace {

using Clock = std::chrono::steady_clock;

// The head of a request may be no longer than this; the library's own
// limits on a line are lower still.
constexpr std::size_t kLongestHead = 16 * 1024;

// The length of the first request in `bytes` when it has all arrived, 0
// while it has not, npos for bytes that are no request this page answers
// (a head too long, a chunked or doubly sized body). A body longer than
// `payload` is not waited for: the head alone goes on, to be answered 413,
// and `oversized` is set.
std::size_t request_length(std::string_view bytes, std::size_t payload, bool& oversized) {
  // The blank line that ends the head, with or without carriage returns.
  const std::size_t crlf = bytes.find("\r\n\r\n"), lf = bytes.find("\n\n");
  std::size_t head = crlf == std::string_view::npos ? std::string_view::npos : crlf + 4;
  if (lf != std::string_view::npos && (head == std::string_view::npos || lf + 2 < head)) head = lf + 2;
  if (head == std::string_view::npos) return bytes.size() > kLongestHead ? std::string_view::npos : 0;
  if (head > kLongestHead) return std::string_view::npos;
  std::size_t body = 0;
  bool sized = false;
  for (std::size_t at = bytes.find('\n') + 1; at < head;) {
    const std::size_t end = bytes.find('\n', at);
    std::string_view line = bytes.substr(at, end - at);
    at = end + 1;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t'))
      value.remove_suffix(1);
    if (name == "transfer-encoding") return std::string_view::npos;  // the page never sends one
    if (name != "content-length") continue;
    if (sized || value.empty() || value.size() > 12 || value.find_first_not_of("0123456789") != std::string_view::npos)
      return std::string_view::npos;
    sized = true;
    body = std::stoull(std::string(value));
  }
  if (body > payload) {
    oversized = true;
    return head;
  }
  return bytes.size() < head + body ? 0 : head + body;
}

// One request, read whole, for the library to parse; its answer goes to
// the socket within the write time.
class RequestStream : public httplib::Stream {
 public:
  RequestStream(int socket, std::string_view request, Clock::time_point write_deadline)
      : socket_(socket), request_(request), deadline_(write_deadline) {}

  bool is_readable() const override { return read_ < request_.size(); }
  bool is_writable() const override { return wait_writable(); }

  ssize_t read(char* ptr, size_t size) override {
    const std::size_t n = std::min(size, request_.size() - read_);
    std::copy_n(request_.data() + read_, n, ptr);
    read_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::send(socket_, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable()) continue;
      return -1;
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { address(true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { address(false, ip, port); }
  socket_t socket() const override { return socket_; }

 private:
  bool wait_writable() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    if (left <= 0) return false;
    pollfd one{socket_, POLLOUT, 0};
    return ::poll(&one, 1, static_cast<int>(left)) == 1 && (one.revents & POLLOUT) != 0 &&
           (one.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0;
  }

  void address(bool remote, std::string& ip, int& port) const {
    sockaddr_in where{};
    socklen_t length = sizeof where;
    const int got = remote ? ::getpeername(socket_, reinterpret_cast<sockaddr*>(&where), &length)
                           : ::getsockname(socket_, reinterpret_cast<sockaddr*>(&where), &length);
    char text[INET_ADDRSTRLEN] = {};
    if (got != 0 || where.sin_family != AF_INET || ::inet_ntop(AF_INET, &where.sin_addr, text, sizeof text) == nullptr) {
      ip.clear();
      port = 0;
      return;
    }
    ip = text;
    port = ntohs(where.sin_port);
  }

  int socket_;
  std::string_view request_;
  std::size_t read_ = 0;
  Clock::time_point deadline_;
};

}  // namespace

void PageHttpServer::close_listening_socket() {
  const int socket = svr_sock_.exchange(INVALID_SOCKET);
  if (socket == INVALID_SOCKET) return;
  ::shutdown(socket, SHUT_RDWR);
  ::close(socket);
}

struct PageConnections::State {
  struct Connection {
    int socket = -1;
    std::string bytes;             // what has arrived and is not yet answered
    Clock::time_point deadline;    // of the request under way, or of the wait for the next
    Clock::time_point last_used;   // for choosing the one to close
    std::size_t served = 0;
    bool busy = false;             // with a worker
  };

  PageHttpServer& server;
  ConnectionLimits limits;
  int wake = -1;  // eventfd: the poller looks again
  std::mutex mutex;
  std::condition_variable work_ready, work_done;
  std::map<int, Connection> connections;  // by socket
  std::deque<int> ready;                  // complete requests, for the workers
  std::size_t answering = 0;
  bool stopping = false;
  bool stopped = false;
  std::thread poller;
  std::vector<std::thread> workers;

  State(PageHttpServer& s, ConnectionLimits l) : server(s), limits(l) {}

  void poke() const {
    const std::uint64_t one = 1;
    (void)!::write(wake, &one, sizeof one);
  }

  // Under the mutex.
  void close_connection(int socket) {
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
    connections.erase(socket);
  }

  // Under the mutex: a complete request goes to the workers, bytes that can
  // never be one close the connection.
  void look_at(Connection& c) {
    if (c.bytes.empty()) return;
    bool oversized = false;
    const std::size_t length = request_length(c.bytes, limits.longest_request, oversized);
    if (length == std::string::npos || (length == 0 && c.bytes.size() > kLongestHead + limits.longest_request)) {
      close_connection(c.socket);
      return;
    }
    if (length == 0) return;
    c.busy = true;
    ready.push_back(c.socket);
    work_ready.notify_one();
  }

  void accept_new(Clock::time_point now) {
    for (;;) {
      const int socket = ::accept4(server.listening_socket(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (socket < 0) return;
      const std::lock_guard<std::mutex> hold(mutex);
      if (connections.size() >= limits.connections) {
        // The one unused longest gives way; with every one answering, the new one.
        auto oldest = connections.end();
        for (auto it = connections.begin(); it != connections.end(); ++it)
          if (!it->second.busy && (oldest == connections.end() || it->second.last_used < oldest->second.last_used))
            oldest = it;
        if (oldest == connections.end()) {
          ::close(socket);
          continue;
        }
        close_connection(oldest->first);
      }
      Connection& c = connections[socket];
      c.socket = socket;
      c.deadline = now + limits.idle_time;
      c.last_used = now;
    }
  }

  void read_from(int socket, Clock::time_point now) {
    char block[16 * 1024];
    const ssize_t n = ::recv(socket, block, sizeof block, MSG_DONTWAIT);
    const std::lock_guard<std::mutex> hold(mutex);
    const auto found = connections.find(socket);
    if (found == connections.end() || found->second.busy) return;
    Connection& c = found->second;
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      close_connection(socket);
      return;
    }
    if (n < 0) return;
    if (c.bytes.empty()) c.deadline = now + limits.request_time;  // a request begins
    c.bytes.append(block, static_cast<std::size_t>(n));
    c.last_used = now;
    look_at(c);
  }

  void poll_loop() {
    std::vector<pollfd> watched;
    for (;;) {
      const Clock::time_point now = Clock::now();
      Clock::time_point next = now + std::chrono::seconds(1);
      watched.clear();
      watched.push_back({wake, POLLIN, 0});
      {
        const std::lock_guard<std::mutex> hold(mutex);
        if (stopping) return;
        watched.push_back({server.listening_socket(), POLLIN, 0});
        std::vector<int> late;
        for (auto& [socket, c] : connections) {
          if (c.busy) continue;
          if (c.deadline <= now) {
            late.push_back(socket);
            continue;
          }
          next = std::min(next, c.deadline);
          watched.push_back({socket, POLLIN, 0});
        }
        for (int socket : late) close_connection(socket);
      }
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
      if (::poll(watched.data(), watched.size(), static_cast<int>(std::max<long long>(wait, 1))) < 0 && errno != EINTR)
        return;
      const Clock::time_point after = Clock::now();
      if (watched[0].revents != 0) {
        std::uint64_t count = 0;
        (void)!::read(wake, &count, sizeof count);
      }
      if (watched[1].revents != 0) accept_new(after);
      for (std::size_t k = 2; k < watched.size(); ++k)
        if (watched[k].revents != 0) read_from(watched[k].fd, after);
    }
  }

  void work_loop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      work_ready.wait(lock, [this] { return stopped || !ready.empty(); });
      if (ready.empty()) return;
      const int socket = ready.front();
      ready.pop_front();
      const auto found = connections.find(socket);
      if (found == connections.end()) continue;
      Connection& c = found->second;
      if (stopping) {  // not begun: no answer
        close_connection(socket);
        continue;
      }
      ++answering;
      bool oversized = false;
      const std::size_t length = request_length(c.bytes, limits.longest_request, oversized);
      const std::string request = c.bytes.substr(0, length);
      const bool last = oversized || c.served + 1 >= limits.requests_per_connection;
      lock.unlock();
      RequestStream stream(socket, request, Clock::now() + limits.write_time);
      bool closed = false;
      const bool kept = server.answer(stream, last, closed);
      lock.lock();
      --answering;
      work_done.notify_all();
      if (!kept || closed || last || stopping) {
        close_connection(socket);
        continue;
      }
      // Kept alive: the next request may already be here.
      c.bytes.erase(0, length);
      ++c.served;
      c.busy = false;
      const Clock::time_point now = Clock::now();
      c.last_used = now;
      c.deadline = now + (c.bytes.empty() ? limits.idle_time : limits.request_time);
      look_at(c);
      poke();
    }
  }
};

PageConnections::PageConnections(PageHttpServer& server, ConnectionLimits limits)
    : state_(std::make_unique<State>(server, limits)) {
  State& s = *state_;
  s.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  // A burst of connections waits in the kernel rather than being refused;
  // the poller takes them without ever blocking on one.
  ::listen(server.listening_socket(), 128);
  ::fcntl(server.listening_socket(), F_SETFL, ::fcntl(server.listening_socket(), F_GETFL) | O_NONBLOCK);
  s.poller = std::thread([&s] { s.poll_loop(); });
  for (std::size_t k = 0; k < std::max<std::size_t>(limits.workers, 1); ++k)
    s.workers.emplace_back([&s] { s.work_loop(); });
}

PageConnections::~PageConnections() { stop(); }

void PageConnections::stop() {
  State& s = *state_;
  {
    const std::lock_guard<std::mutex> hold(s.mutex);
    if (s.stopped) return;
    s.stopping = true;
  }
  s.poke();
  if (s.poller.joinable()) s.poller.join();
  s.server.close_listening_socket();
  std::unique_lock<std::mutex> lock(s.mutex);
  // Answers under way may finish (the Quit button's own), within the grace.
  s.work_done.wait_for(lock, s.limits.stop_grace, [&s] { return s.answering == 0; });
  for (auto& [socket, c] : s.connections) ::shutdown(socket, SHUT_RDWR);  // cuts a slow reader's answer
  s.stopped = true;
  s.work_ready.notify_all();
  lock.unlock();
  for (std::thread& worker : s.workers)
    if (worker.joinable()) worker.join();
  lock.lock();
  while (!s.connections.empty()) s.close_connection(s.connections.begin()->first);
  lock.unlock();
  if (s.wake >= 0) ::close(s.wake);
  s.wake = -1;
}

}  // namespace vesk
