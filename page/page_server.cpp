#include "page/page_server.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <string_view>
#include <optional>
#include <thread>

#include "recio/error.hpp"
#include "recio/units.hpp"
#include "page/page_connections.hpp"
#include "page/results_api.hpp"

namespace vesk {

// The page's files, compiled in (scripts/embed_text.cmake).
extern const char page_index_html[];
extern const unsigned long page_index_html_size;
extern const char page_js[];
extern const unsigned long page_js_size;
extern const char page_css[];
extern const unsigned long page_css_size;

namespace {

// 128 bits from the kernel's random source, as hex. getrandom() blocks only
// until the pool is first initialised; /dev/urandom is the fallback of
// kernels without it.
std::string random_token() {
  std::array<unsigned char, 16> bytes{};
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n > 0) got += static_cast<std::size_t>(n);
    else if (n < 0 && errno == EINTR) continue;
    else break;
  }
  if (got < bytes.size()) {
    std::FILE* source = std::fopen("/dev/urandom", "rb");
    if (source == nullptr || std::fread(bytes.data(), 1, bytes.size(), source) != bytes.size()) {
      if (source != nullptr) std::fclose(source);
      throw Error("the page's token cannot be drawn from the system's random source");
    }
    std::fclose(source);
  }
  static const char digits[] = "0123456789abcdef";
  std::string token;
  for (unsigned char byte : bytes) {
    token += digits[byte >> 4];
    token += digits[byte & 15];
  }
  return token;
}

// Compares in time independent of where the strings differ.
bool same_secret(std::string_view given, std::string_view token) {
  if (given.size() != token.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < token.size(); ++i)
    difference |= static_cast<unsigned char>(given[i] ^ token[i]);
  return difference == 0;
}

// The path of an executable found on PATH, empty when there is none.
std::string find_on_path(const char* program) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path != nullptr ? path : "/usr/bin:/bin";
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    std::string folder(rest.substr(0, colon));
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
    if (folder.empty()) continue;
    const std::string file = folder + "/" + program;
    if (::access(file.c_str(), X_OK) == 0) return file;
  }
  return {};
}

// The browser is not given the address itself: a command line is visible
// to every user of the computer, and the token would be read there. It gets
// a file, readable by the user alone, that sends it on to the address; the
// file goes when the page ends.
class RedirectFile {
 public:
  explicit RedirectFile(const std::string& address) {
    const char* temporary = std::getenv("TMPDIR");
    std::string folder = std::string(temporary != nullptr && *temporary != '\0' ? temporary : "/tmp") +
                         "/vortan-page-XXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) return;
    folder_ = folder;
    const std::string file = folder + "/open.html";
    const int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) return;
    const std::string html = "<!DOCTYPE html>\n<meta charset=\"utf-8\">\n<meta http-equiv=\"refresh\" content=\"0;url=" +
                             address + "\">\n<title>vortan</title>\n";
    const bool written = ::write(out, html.data(), html.size()) == static_cast<ssize_t>(html.size());
    if (::close(out) == 0 && written) file_ = file;
  }
  ~RedirectFile() {
    if (!folder_.empty()) {
      ::unlink((folder_ + "/open.html").c_str());
      ::rmdir(folder_.c_str());
    }
  }
  RedirectFile(const RedirectFile&) = delete;
  RedirectFile& operator=(const RedirectFile&) = delete;

  // Empty when it could not be written.
  const std::string& file() const { return file_; }

 private:
  std::string folder_;
  std::string file_;
};

bool desktop_available() {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

// Opens the file in the desktop's browser without waiting for it: the
// child starts xdg-open in a grandchild and ends at once, so no zombie is
// left and the run never waits on the browser.
void open_in_browser(const std::string& file) {
  const std::string opener = find_on_path("xdg-open");
  if (opener.empty() || file.empty()) return;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) return;
  if (child == 0) {
    if (::fork() == 0) {
      // The browser gets neither our blocked signals nor our sockets, and
      // a session of its own: Ctrl-C on our terminal is not for it.
      ::setsid();
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      ::close_range(3, ~0U, 0);
      const int null = ::open("/dev/null", O_RDWR);
      if (null >= 0) {
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
      }
      char* const arguments[] = {const_cast<char*>(opener.c_str()), const_cast<char*>(file.c_str()), nullptr};
      ::execv(opener.c_str(), arguments);
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

// SIGINT, SIGTERM and SIGHUP (the terminal closed) blocked in this thread (and so in the server's
// threads, which inherit the mask) and taken with sigtimedwait; the old
// mask comes back when the page ends.
class QuitSignals {
 public:
  QuitSignals() {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
    sigaddset(&signals_, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals_, &old_mask_);
  }
  ~QuitSignals() {
    // A signal that came after the last wait ends the page as well; it is
    // taken here so that restoring the mask does not deliver it again.
    const timespec none{0, 0};
    while (sigtimedwait(&signals_, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
  }
  QuitSignals(const QuitSignals&) = delete;
  QuitSignals& operator=(const QuitSignals&) = delete;

  // True when one of them came within the interval.
  bool wait(std::chrono::milliseconds interval) {
    const timespec timeout{static_cast<time_t>(interval.count() / 1000),
                           static_cast<long>(interval.count() % 1000) * 1000000L};
    return sigtimedwait(&signals_, nullptr, &timeout) > 0;
  }

 private:
  sigset_t signals_{};
  sigset_t old_mask_{};
};

}  // namespace

void serve_page(const PageContext& context) {
  const std::string token = random_token();
  std::atomic<bool> quit{false};

  // The context's functions one call at a time. A stop of the run met in
  // one ends the page and goes on from serve_page, as it would have from
  // the run; a failure is the request's answer.
  std::mutex context_mutex;
  std::optional<Stop> stopped;
  const auto with_context = [&](httplib::Response& response, const std::function<void()>& call) {
    std::lock_guard<std::mutex> lock(context_mutex);
    if (stopped) return answer_error(response, 503, "the run has stopped");
    try {
      call();
    } catch (const Error& error) {
      answer_error(response, 500, error.what());
    } catch (const Stop& stop) {
      stopped = stop;
      quit = true;
      answer_error(response, 500, stop.message.empty() ? "the run has stopped" : stop.message);
    }
  };

  QuitSignals signals;
  PageHttpServer server;
  server.set_payload_max_length(64 * 1024);
  server.set_default_headers({
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"Referrer-Policy", "no-referrer"},
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'self'; style-src 'self'; connect-src 'self'; "
       "object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  if (port <= 0) throw Error("no port of 127.0.0.1 can be bound for the page");
  const std::string origin_numeric = "127.0.0.1:" + std::to_string(port);
  const std::string origin_name = "localhost:" + std::to_string(port);

  // Every request: our own Host (a page of another site that rebinds a
  // name to 127.0.0.1 sends its own), the token, and on a write no Origin
  // but ours.
  server.set_pre_routing_handler([&](const httplib::Request& request, httplib::Response& response) {
    // Plain bytes on the loopback: Debian's library compresses an answer
    // whenever the request accepts brotli or gzip (brotli at its slowest
    // setting took minutes for a large structure's rows), and decides it
    // from the request's Accept-Encoding alone, which therefore goes. The
    // request is the library's own, handed to us as const.
    const_cast<httplib::Request&>(request).headers.erase("Accept-Encoding");
    const std::string host = request.get_header_value("Host");
    if (host != origin_numeric && host != origin_name) {
      answer_error(response, 403, "this page answers only at http://" + origin_numeric);
      return httplib::Server::HandlerResponse::Handled;
    }
    std::string given = request.get_header_value("X-Token");
    if (given.empty()) given = request.get_param_value("token");
    if (!same_secret(given, token)) {
      answer_error(response, 403, "the request does not carry the page's token");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (request.method != "GET" && request.method != "HEAD" && request.has_header("Origin")) {
      const std::string origin = request.get_header_value("Origin");
      if (origin != "http://" + origin_numeric && origin != "http://" + origin_name) {
        answer_error(response, 403, "a write from another origin is refused");
        return httplib::Server::HandlerResponse::Handled;
      }
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  // The library's own refusals (no route, a malformed request) in JSON too.
  const httplib::Server::HandlerWithResponse library_refusal = [](const httplib::Request&,
                                                                  httplib::Response& response) {
    if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    const char* message = response.status == 404   ? "no such page"
                          : response.status == 400 ? "the request is malformed"
                                                   : "refused";
    answer_error(response, response.status, message);
    return httplib::Server::HandlerResponse::Handled;
  };
  server.set_error_handler(library_refusal);
  // Whatever else a handler throws is answered without its text.
  server.set_exception_handler([](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
    answer_error(response, 500, "the request failed");
  });

  std::string index_html(page_index_html, page_index_html_size);
  for (std::size_t at; (at = index_html.find("{{token}}")) != std::string::npos;) index_html.replace(at, 9, token);
  server.Get("/", [&](const httplib::Request&, httplib::Response& response) {
    response.set_content(index_html, "text/html; charset=utf-8");
  });
  server.Get("/page.js", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(page_js, page_js_size, "text/javascript; charset=utf-8");
  });
  server.Get("/page.css", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(page_css, page_css_size, "text/css; charset=utf-8");
  });
  // The page names its icon, so that the browser asks for no /favicon.ico
  // (which would come without the token).
  server.Get("/icon.svg", [](const httplib::Request&, httplib::Response& response) {
    response.set_content(
        "<svg xmlns=\"http://www.w3.org/2000/svg\" viewBox=\"0 0 16 16\"><line x1=\"3\" y1=\"13\" x2=\"13\" y2=\"3\" "
        "stroke=\"#c04000\" stroke-width=\"3\"/><circle cx=\"3\" cy=\"13\" r=\"3\"/><circle cx=\"13\" cy=\"3\" r=\"3\"/></svg>",
        "image/svg+xml");
  });
  add_results_routes(server, context, with_context);
  server.Post("/write-cif", [&](const httplib::Request&, httplib::Response& response) {
    with_context(response, [&] { answer_json(response, 200, {{"file", context.write_cif()}}); });
  });
  server.Post("/quit", [&](const httplib::Request&, httplib::Response& response) {
    answer_json(response, 200, {{"stopped", true}});
    quit = true;
  });

  // Its threads block the quit signals, as this one does: they come to the loop below.
  PageConnections connections(server);

  // Where the marks files' records lie, found while the page loads, so
  // that the first mark reads only its own records; a file that cannot be
  // read is said by the mark that needs it.
  const std::jthread index_files([&context] {
    try {
      index_marks_files(context.files);
    } catch (const std::exception&) {
    }
  });

  const std::string address = "http://" + origin_numeric + "/?token=" + token;
  recio::write(recio::kTerminalOut, "(A)", {"Open " + address});
  recio::flush(recio::kTerminalOut);
  std::optional<RedirectFile> redirect;
  if (desktop_available()) {
    redirect.emplace(address);
    open_in_browser(redirect->file());
  }

  while (!quit && !signals.wait(std::chrono::milliseconds(200))) {
  }
  connections.stop();
  if (stopped) throw *stopped;
}

}  // namespace vesk
