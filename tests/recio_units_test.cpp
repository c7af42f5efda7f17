#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "recio/status.hpp"
#include "recio/unformatted.hpp"
#include "recio/units.hpp"
#include "tests/support/caught_stop.hpp"
#include "tests/support/run_program.hpp"

using namespace recio;
using testing_support::caught_stop;
using testing_support::read_file;
using testing_support::run_as_main;
using testing_support::TempFolder;
using testing_support::write_file;

namespace {

constexpr int kUnit = 21;

OpenSpec open_request(OpenStatus status, Access access = Access::Sequential, Form form = Form::Formatted,
                     int record_length = 0) {
  OpenSpec request;
  request.status = status;
  request.access = access;
  request.form = form;
  request.record_length = record_length;
  return request;
}

std::string bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

std::string framed(const std::string& data) {
  auto n = static_cast<std::uint32_t>(data.size());
  std::string count = bytes({static_cast<int>(n & 0xff), static_cast<int>((n >> 8) & 0xff),
                             static_cast<int>((n >> 16) & 0xff), static_cast<int>(n >> 24)});
  return count + data + count;
}

}  // namespace

TEST(Units, SequentialWriteThenReadBack) {
  TempFolder folder;
  const std::string name = folder / "OUT.TXT";
  EXPECT_FALSE(exists(name));
  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::New)), kOk);
  EXPECT_TRUE(connected(kUnit));
  EXPECT_EQ(file_name(kUnit), name);
  EXPECT_EQ(recio::write(kUnit, "(A,I5)", {"count", 42}), kOk);
  EXPECT_EQ(recio::write(kUnit, "(A,$)", {"open >"}), kOk);
  EXPECT_EQ(recio::write(kUnit, "(F6.2/A)", {1.5, "last"}), kOk);
  EXPECT_EQ(recio::close(kUnit), kOk);
  EXPECT_FALSE(connected(kUnit));
  EXPECT_EQ(file_name(kUnit), "");
  EXPECT_TRUE(exists(name));
  EXPECT_TRUE(exists(name + "   "));  // a blank-padded name field
  EXPECT_EQ(read_file(name), "count   42\nopen >  1.50\nlast\n");

  ASSERT_EQ(recio::open(kUnit, name + "  ", open_request(OpenStatus::Old)), kOk);
  EXPECT_EQ(file_name(kUnit), name);
  std::string word(5, ' ');
  int n = 0;
  EXPECT_EQ(recio::read(kUnit, "(A5,I5)", {word, n}), kOk);
  EXPECT_EQ(word, "count");
  EXPECT_EQ(n, 42);
  std::string line;
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(line, "open >  1.50");
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(line, "last");
  EXPECT_EQ(read_line(kUnit, line), kEndOfFile);
  EXPECT_EQ(recio::read(kUnit, "(A)", {word}), kEndOfFile);
  EXPECT_EQ(recio::close(kUnit), kOk);
}

TEST(Units, OpenStatusesAreCheckedAndReported) {
  TempFolder folder;
  const std::string name = folder / "A.DAT";
  EXPECT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Old)), kOpenFailed);
  EXPECT_FALSE(connected(kUnit));
  write_file(name, "x\n");
  EXPECT_EQ(recio::open(kUnit, name, open_request(OpenStatus::New)), kOpenFailed);
  EXPECT_EQ(recio::open(kUnit, folder.path().string(), open_request(OpenStatus::Unknown)), kOpenFailed);
  EXPECT_EQ(recio::open(kUnit, "", open_request(OpenStatus::Unknown)), kOpenFailed);
  EXPECT_EQ(recio::open(-3, name, open_request(OpenStatus::Old)), kBadUnit);
  // Unknown keeps an existing file until something is written.
  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Unknown)), kOk);
  std::string line;
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(line, "x");
  EXPECT_EQ(recio::close(kUnit), kOk);
  ASSERT_EQ(recio::open(kUnit, folder / "NEW.DAT", open_request(OpenStatus::Unknown)), kOk);
  EXPECT_TRUE(exists(folder / "NEW.DAT"));
  EXPECT_FALSE(exists(folder.path().string()));
  EXPECT_EQ(recio::close(kUnit), kOk);
  EXPECT_EQ(recio::close(kUnit), kOk);  // closing an unconnected unit is harmless
}

TEST(Units, UnconnectedAndWrongAccessGiveStatuses) {
  TempFolder folder;
  std::string line;
  EXPECT_EQ(recio::write(77, "(A)", {"x"}), kNotConnected);
  EXPECT_EQ(read_line(77, line), kNotConnected);
  EXPECT_EQ(recio::rewind(77), kNotConnected);
  int n = 0;
  EXPECT_EQ(read_direct(77, 1, "(I1)", {n}), kNotConnected);
  ASSERT_EQ(recio::open(kUnit, folder / "U.BIN", open_request(OpenStatus::New, Access::Sequential, Form::Unformatted)), kOk);
  EXPECT_EQ(recio::write(kUnit, "(A)", {"x"}), kWrongAccess);
  EXPECT_EQ(read_line(kUnit, line), kWrongAccess);
  EXPECT_EQ(read_direct(kUnit, 1, "(I1)", {n}), kWrongAccess);
  EXPECT_EQ(recio::close(kUnit), kOk);
  ASSERT_EQ(recio::open(kUnit, folder / "F.TXT", open_request(OpenStatus::New)), kOk);
  std::vector<std::uint8_t> data;
  EXPECT_EQ(read_unformatted(kUnit, data), kWrongAccess);
  EXPECT_EQ(recio::close(kUnit), kOk);
  EXPECT_EQ(read_line(kTerminalOut, line), kWrongAccess);
  EXPECT_EQ(recio::write(kTerminalIn, "(A)", {"x"}), kWrongAccess);
}

TEST(Units, RewindThenWriteTruncatesTheRest) {
  TempFolder folder;
  const std::string name = folder / "R.VORTAN";
  write_file(name, "one\ntwo\nthree\n");
  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Old)), kOk);
  std::string line;
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(recio::rewind(kUnit), kOk);
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(line, "one");
  EXPECT_EQ(recio::write(kUnit, "(A)", {"new"}), kOk);
  EXPECT_EQ(recio::close(kUnit), kOk);
  EXPECT_EQ(read_file(name), "one\nnew\n");

  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Old)), kOk);
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(read_line(kUnit, line), kEndOfFile);
  EXPECT_EQ(recio::rewind(kUnit), kOk);
  EXPECT_EQ(recio::write(kUnit, "(A)", {"z"}), kOk);
  EXPECT_EQ(recio::close(kUnit), kOk);
  EXPECT_EQ(read_file(name), "z\n");
}

TEST(Units, AppendAddsAfterTheOldContent) {
  TempFolder folder;
  const std::string name = folder / "T.LST";
  write_file(name, "old\n");
  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Unknown, Access::Append)), kOk);
  EXPECT_EQ(recio::write(kUnit, "(A)", {"new"}), kOk);
  EXPECT_EQ(recio::close(kUnit), kOk);
  EXPECT_EQ(read_file(name), "old\nnew\n");
  ASSERT_EQ(recio::open(kUnit, folder / "FRESH.LST", open_request(OpenStatus::Unknown, Access::Append)), kOk);
  EXPECT_EQ(recio::write(kUnit, "(A)", {"first"}), kOk);
  EXPECT_EQ(recio::close(kUnit), kOk);
  EXPECT_EQ(read_file(folder / "FRESH.LST"), "first\n");
}

TEST(Units, ReadLineStripsCarriageReturnAndKeepsAnUnterminatedLastLine) {
  TempFolder folder;
  const std::string name = folder / "M.MAC";
  write_file(name, "a\r\n\nb");
  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Old)), kOk);
  std::string line = "junk";
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(line, "a");
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(line, "");
  EXPECT_EQ(read_line(kUnit, line), kOk);
  EXPECT_EQ(line, "b");
  EXPECT_EQ(read_line(kUnit, line), kEndOfFile);
  EXPECT_EQ(recio::close(kUnit), kOk);
}

TEST(Units, DirectAccessRecordsByNumber) {
  TempFolder folder;
  const std::string name = folder / "S.EXP";
  std::string content;
  const std::string keys[3] = {"     VERSION", "      DESCR ", " EXPR NPHAS "};
  const std::string values[3] = {"   6", "Test structure", "    1    0"};
  for (int i = 0; i < 3; ++i) {
    std::string record = keys[i] + values[i];
    record.resize(80, ' ');
    content += record + "\r\n";
  }
  write_file(name, content);
  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Old, Access::Direct, Form::Formatted, 82)), kOk);
  std::string key(12, ' '), value(68, ' ');
  EXPECT_EQ(read_direct(kUnit, 2, "(A12,A68)", {key, value}), kOk);
  EXPECT_EQ(key, "      DESCR ");
  EXPECT_EQ(value, "Test structure" + std::string(54, ' '));
  std::string whole(82, '?');
  EXPECT_EQ(read_direct(kUnit, 3, "(A)", {whole}), kOk);
  EXPECT_EQ(whole.substr(0, 22), " EXPR NPHAS     1    0");
  EXPECT_EQ(whole.substr(80), "  ");  // the line end is not part of the record
  int version = 0;
  EXPECT_EQ(read_direct(kUnit, 1, "(12X,I4)", {version}), kOk);
  EXPECT_EQ(version, 6);
  EXPECT_EQ(read_direct(kUnit, 4, "(A)", {key}), kNoSuchRecord);
  EXPECT_EQ(read_direct(kUnit, 0, "(A)", {key}), kNoSuchRecord);
  EXPECT_EQ(read_direct(kUnit, 1, "(12X,A4)", {key}), kOk);
  EXPECT_EQ(key, "   6        ");
  std::string line;
  EXPECT_EQ(read_line(kUnit, line), kWrongAccess);
  EXPECT_EQ(recio::rewind(kUnit), kWrongAccess);
  EXPECT_EQ(recio::close(kUnit), kOk);
}

TEST(Units, UnformattedRecordsWriteThenReadBack) {
  TempFolder folder;
  const std::string name = folder / "W.CMT";
  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::New, Access::Sequential, Form::Unformatted)), kOk);
  RecordBuilder first;
  first.put(std::int32_t{7}).put(std::int32_t{-2}).put(1.5f).put_text("CRS1", 8);
  EXPECT_EQ(write_unformatted(kUnit, first.bytes()), kOk);
  EXPECT_EQ(write_unformatted(kUnit, std::vector<std::uint8_t>{}), kOk);
  EXPECT_EQ(recio::close(kUnit), kOk);
  // Framing and byte order typed by hand: 20 data bytes, little-endian.
  EXPECT_EQ(read_file(name), bytes({20, 0, 0, 0, 7, 0, 0, 0, 0xfe, 0xff, 0xff, 0xff, 0, 0, 0xc0, 0x3f}) +
                                 "CRS1    " + bytes({20, 0, 0, 0}) + bytes({0, 0, 0, 0, 0, 0, 0, 0}));

  ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Old, Access::Sequential, Form::Unformatted)), kOk);
  std::vector<std::uint8_t> data;
  ASSERT_EQ(read_unformatted(kUnit, data), kOk);
  RecordCursor cursor(data);
  std::int32_t a = 0, b = 0;
  float x = 0;
  std::string text;
  EXPECT_TRUE(cursor.get(a));
  EXPECT_TRUE(cursor.get(b));
  EXPECT_TRUE(cursor.get(x));
  EXPECT_TRUE(cursor.get_text(text, 8));
  EXPECT_EQ(a, 7);
  EXPECT_EQ(b, -2);
  EXPECT_EQ(x, 1.5f);
  EXPECT_EQ(text, "CRS1    ");
  EXPECT_EQ(cursor.remaining(), 0u);
  EXPECT_FALSE(cursor.get(a));
  EXPECT_FALSE(cursor.skip(1));
  EXPECT_EQ(a, 7);
  EXPECT_EQ(read_unformatted(kUnit, data), kOk);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(read_unformatted(kUnit, data), kEndOfFile);
  EXPECT_EQ(recio::close(kUnit), kOk);
}

TEST(Units, HandMadeUnformattedFilesIncludingDamagedOnes) {
  TempFolder folder;
  auto read_all = [&](const std::string& content, std::vector<int>& statuses, std::vector<std::size_t>& sizes) {
    const std::string name = folder / "H.CMT";
    write_file(name, content);
    ASSERT_EQ(recio::open(kUnit, name, open_request(OpenStatus::Old, Access::Sequential, Form::Unformatted)), kOk);
    for (;;) {
      std::vector<std::uint8_t> data;
      int status = read_unformatted(kUnit, data);
      statuses.push_back(status);
      if (status != kOk) break;
      sizes.push_back(data.size());
    }
    EXPECT_EQ(recio::close(kUnit), kOk);
  };
  {
    std::vector<int> statuses;
    std::vector<std::size_t> sizes;
    read_all(framed(bytes({3, 0, 0, 0})) + framed("ABCDEFGH"), statuses, sizes);
    EXPECT_EQ(statuses, (std::vector<int>{kOk, kOk, kEndOfFile}));
    EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 8}));
  }
  {
    // Leading count 8, trailing 9.
    std::vector<int> statuses;
    std::vector<std::size_t> sizes;
    read_all(bytes({8, 0, 0, 0}) + "ABCDEFGH" + bytes({9, 0, 0, 0}), statuses, sizes);
    EXPECT_EQ(statuses, (std::vector<int>{kBadUnformatted}));
  }
  {
    // The count promises more than the file holds.
    std::vector<int> statuses;
    std::vector<std::size_t> sizes;
    read_all(framed("OK") + bytes({100, 0, 0, 0}) + "short", statuses, sizes);
    EXPECT_EQ(statuses, (std::vector<int>{kOk, kBadUnformatted}));
  }
  {
    // The trailing count is cut off, then a stray half count.
    std::vector<int> statuses;
    std::vector<std::size_t> sizes;
    read_all(bytes({4, 0, 0, 0}) + "ABCD" + bytes({4, 0}), statuses, sizes);
    EXPECT_EQ(statuses, (std::vector<int>{kBadUnformatted}));
    statuses.clear();
    read_all(framed("ABCD") + bytes({1, 0}), statuses, sizes);
    EXPECT_EQ(statuses, (std::vector<int>{kOk, kBadUnformatted}));
  }
  {
    // 8-byte framing as other runtimes write it reads as mis-framed, not as data.
    std::vector<int> statuses;
    std::vector<std::size_t> sizes;
    read_all(bytes({4, 0, 0, 0, 0, 0, 0, 0}) + "ABCD" + bytes({4, 0, 0, 0, 0, 0, 0, 0}), statuses, sizes);
    EXPECT_EQ(statuses.back(), kBadUnformatted);
  }
}

TEST(Stop, TextLineAndExitStatus) {
  using vesk::Stop;
  EXPECT_EQ(Stop::statement("VORTAN successful completion", 0).message,
            "STOP VORTAN successful completion statement executed\n");
  EXPECT_EQ(Stop::statement("", 1).message, "");
  EXPECT_EXIT(std::exit(stop(Stop::statement("VORTAN successful completion", 0))), testing::ExitedWithCode(0),
              "^STOP VORTAN successful completion statement executed\n$");
  EXPECT_EXIT(std::exit(stop(Stop{.message = {}, .exit_status = 0})), testing::ExitedWithCode(0), "^$");
  EXPECT_EXIT(std::exit(stop(Stop::statement("Experiment file not found", 1))), testing::ExitedWithCode(1),
              "^STOP Experiment file not found statement executed\n$");
}

TEST(Stop, OpenFilesAreFlushedAtStopAndAtNormalExit) {
  TempFolder folder;
  const std::string at_stop = folder / "STOP.LST";
  const std::string at_exit = folder / "EXIT.LST";
  EXPECT_EXIT(
      {
        recio::open(kUnit, at_stop, open_request(OpenStatus::New));
        recio::write(kUnit, "(A)", {"kept"});
        recio::write(kUnit, "(A,$)", {"open"});
        run_as_main([] { throw vesk::Stop::statement("done", 1); });
      },
      testing::ExitedWithCode(1), "STOP done statement executed");
  EXPECT_EQ(read_file(at_stop), "kept\nopen");
  EXPECT_EXIT(
      {
        recio::open(kUnit, at_exit, open_request(OpenStatus::New));
        recio::write(kUnit, "(I3)", {5});
        std::exit(0);
      },
      testing::ExitedWithCode(0), "^$");
  EXPECT_EQ(read_file(at_exit), "  5\n");
}

TEST(Stop, ClosesTheFilesKeepsTheTerminalAndReturnsTheStatus) {
  TempFolder folder;
  const std::string file = folder / "END.LST";
  ASSERT_EQ(recio::open(kUnit, file, open_request(OpenStatus::New)), kOk);
  ASSERT_EQ(recio::write(kUnit, "(A,$)", {"last"}), kOk);
  EXPECT_EQ(stop(vesk::Stop{.message = {}, .exit_status = 3}), 3);
  EXPECT_FALSE(connected(kUnit));
  EXPECT_EQ(read_file(file), "last");
  for (int terminal : {kErrorUnit, kTerminalIn, kTerminalOut}) EXPECT_TRUE(connected(terminal)) << terminal;
}

TEST(Stop, UnhandledErrorsNameTheErrorUnitAndFile) {
  TempFolder folder;
  const std::string name = folder / "BAD.DAT";
  write_file(name, "12x\n");
  EXPECT_EXIT(
      {
        recio::open(kUnit, name, open_request(OpenStatus::Old));
        int n = 0;
        run_as_main([&] { check(recio::read(kUnit, "(I3)", {n}), kUnit); });
      },
      testing::ExitedWithCode(1), "unit 21, file .*BAD\\.DAT: invalid character in a numeric field");
  EXPECT_EXIT(run_as_main([] { fail(kEndOfFile, kTerminalIn); }), testing::ExitedWithCode(1),
              "^I/O error -1 on unit 5 \\(standard input\\): end of file\n$");
  EXPECT_EXIT(
      run_as_main([&] { check(recio::open(kUnit, folder / "MISSING.EXP", open_request(OpenStatus::Old)), kUnit); }),
      testing::ExitedWithCode(1), "unit 21 \\(not connected\\), file .*MISSING\\.EXP: cannot open");
  EXPECT_EXIT(run_as_main([] {
                check(kOk, kTerminalOut);
                throw vesk::Stop::statement("after check", 0);
              }),
              testing::ExitedWithCode(0), "after check");
  // The stop as a main receives it.
  const auto stop = caught_stop([] { fail(kEndOfFile, kTerminalIn); });
  ASSERT_TRUE(stop);
  EXPECT_EQ(stop->message, "I/O error -1 on unit 5 (standard input): end of file\n");
  EXPECT_EQ(stop->exit_status, 1);
}

namespace {

// Runs `body` in a child whose standard input and output are pipes; returns
// what the child wrote before it blocked on its read, then feeds `answer`.
struct ChildOutput {
  std::string before_answer;
  std::string after_answer;
  int exit_status = -1;
};

ChildOutput run_with_pipes(const std::function<void()>& body, const std::string& answer) {
  int to_child[2], from_child[2];
  if (pipe(to_child) != 0 || pipe(from_child) != 0) return {};
  std::fflush(nullptr);  // the child must not repeat what this process still buffers
  pid_t pid = fork();
  if (pid == 0) {
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    ::close(to_child[0]);
    ::close(to_child[1]);
    ::close(from_child[0]);
    ::close(from_child[1]);
    body();
    std::exit(0);
  }
  ::close(to_child[0]);
  ::close(from_child[1]);
  ChildOutput out;
  char buffer[256];
  // The prompt has to arrive while the child still waits for its answer.
  pollfd wait_for_prompt{from_child[0], POLLIN, 0};
  if (poll(&wait_for_prompt, 1, 30000) > 0) {
    ssize_t n = ::read(from_child[0], buffer, sizeof buffer);
    if (n > 0) out.before_answer.assign(buffer, static_cast<std::size_t>(n));
  }
  if (::write(to_child[1], answer.data(), answer.size()) < 0) out.exit_status = -2;
  ::close(to_child[1]);
  ssize_t n = 0;
  while ((n = ::read(from_child[0], buffer, sizeof buffer)) > 0) out.after_answer.append(buffer, static_cast<std::size_t>(n));
  ::close(from_child[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status)) out.exit_status = WEXITSTATUS(status);
  return out;
}

}  // namespace

TEST(Units, PromptShowsBeforeTheTerminalReadBlocks) {
  ChildOutput out = run_with_pipes(
      [] {
        recio::write(kTerminalOut, "(A,$)", {" Experiment name >"});
        std::string name(8, ' ');
        int status = recio::read(kTerminalIn, "(A)", {name});
        recio::write(kTerminalOut, "(A,I3,2A)", {"|", status, "|", name});
        std::string more;
        recio::write(kTerminalOut, "(I3)", {read_line(kTerminalIn, more)});
      },
      "TEST\n");
  EXPECT_EQ(out.before_answer, " Experiment name >");
  EXPECT_EQ(out.after_answer, "|  0|TEST    \n -1\n");
  EXPECT_EQ(out.exit_status, 0);
}
