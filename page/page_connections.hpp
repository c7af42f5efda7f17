// The connections of the local page, bounded so that no client can keep
// the page from answering its owner or from ending. cpp-httplib parses and
// routes the requests; this layer owns the sockets:
//  - one thread waits on every open connection at once (poll) and reads
//    what arrives; a connection costs a thread only while a complete request
//    is answered, so idle and slow clients never hold one;
//  - a request must arrive whole within `request_time` of its first byte,
//    and is at most `longest_request` bytes; a kept-alive connection waits
//    `idle_time` for its next request and serves at most
//    `requests_per_connection`;
//  - at most `connections` are open: a new one closes the one idle longest;
//  - stop() closes the listening socket and every connection, waits for the
//    answers under way (each bounded by `write_time`, and cut after
//    `stop_grace`) and joins every thread.
#pragma once
#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <memory>

namespace vesk {

// The routes and settings of a cpp-httplib server, answered one complete
// request at a time by PageConnections.
class PageHttpServer : public httplib::Server {
 public:
  // Answers the request `stream` holds (the library's own parser and
  // routes); false when the connection must close.
  bool answer(httplib::Stream& stream, bool close_connection, bool& connection_closed) {
    return process_request(stream, close_connection, connection_closed, nullptr);
  }
  // The socket bind_to_any_port() opened; -1 before.
  int listening_socket() const { return svr_sock_; }
  // Closes it, once.
  void close_listening_socket();
};

struct ConnectionLimits {
  std::size_t connections = 64;
  std::size_t workers = 2;
  std::chrono::milliseconds request_time{2000};
  std::chrono::milliseconds idle_time{5000};
  std::size_t requests_per_connection = 100;
  std::size_t longest_request = 96 * 1024;  // head and body
  std::chrono::milliseconds write_time{5000};
  std::chrono::milliseconds stop_grace{1000};
};

class PageConnections {
 public:
  // Starts serving on the server's bound socket.
  explicit PageConnections(PageHttpServer& server, ConnectionLimits limits = {});
  ~PageConnections();
  PageConnections(const PageConnections&) = delete;
  PageConnections& operator=(const PageConnections&) = delete;

  // Ends every connection and joins the threads; nothing happens a second time.
  void stop();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vesk
