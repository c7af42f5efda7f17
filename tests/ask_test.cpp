#include "console/ask.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "recio/units.hpp"
#include "tests/support/run_program.hpp"

using testing_support::read_file;
using testing_support::TempFolder;
using testing_support::write_file;

namespace {

struct Dialogue {
  std::string out;      // everything written to the console
  std::string results;  // what the dialogue function returned
  int exit_status = -1;
};

// Runs `dialogue` in a child process whose standard input is `input` and
// whose standard output is captured, in `folder`: the console state is
// process-wide, so each dialogue gets a fresh one.
Dialogue run_dialogue(const TempFolder& folder, const std::string& input,
                      const std::function<std::string()>& dialogue) {
  write_file(folder / "stdin.txt", input);
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(folder.path().c_str()) != 0) _exit(120);
    int in = open("stdin.txt", O_RDONLY);
    int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0) _exit(121);
    dup2(in, 0);
    dup2(out, 1);
    close(in);
    close(out);
    std::string results;
    try {
      results = dialogue();
    } catch (const vesk::Stop& stop) {
      _exit(recio::stop(stop));  // as the program's main ends
    }
    recio::flush_all();
    write_file("results.txt", results);
    _exit(0);
  }
  Dialogue d;
  int status = 0;
  waitpid(pid, &status, 0);
  d.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  d.out = read_file(folder / "stdout.txt");
  d.results = read_file(folder / "results.txt");
  std::filesystem::remove(folder / "results.txt");
  return d;
}

int shell(const std::string& command) { return std::system(command.c_str()); }

int count(const std::string& text, const std::string& piece) {
  int n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

std::string ask_lines(int n, std::size_t length = 80, std::string_view prompt = "Answer") {
  std::string results;
  for (int i = 0; i < n; ++i) {
    std::string answer(length, ' ');
    vesk::ASKLINE(prompt, answer);
    results += "[" + answer + "]\n";
  }
  return results;
}

std::string field(std::string_view text, std::size_t n = 80) { return "[" + recio::pad(text, n) + "]\n"; }

}  // namespace

TEST(Askline, PromptLayout) {
  TempFolder folder;
  auto d = run_dialogue(folder, "1\n", [] { return ask_lines(1, 80, "Enter theta"); });
  EXPECT_EQ(d.out.rfind(" Enter theta >", 0), 0u) << d.out;

  d = run_dialogue(folder, "1\n", [] { return ask_lines(1, 80, "First line|Second"); });
  EXPECT_EQ(d.out.rfind(" First line\n Second >", 0), 0u) << d.out;

  d = run_dialogue(folder, "1\n", [] { return ask_lines(1, 80, "Title|"); });
  EXPECT_EQ(d.out.rfind(" Title\n   >", 0), 0u) << d.out;

  d = run_dialogue(folder, "1\n", [] { return ask_lines(1, 80, "|Name`not shown|"); });
  EXPECT_EQ(d.out.rfind("  \n Name >", 0), 0u) << d.out;
  EXPECT_EQ(d.out.find("not shown"), std::string::npos);
}

TEST(Askline, AnswerIsAFixedFieldWithoutCommentOrTabs) {
  TempFolder folder;
  auto d = run_dialogue(folder, "10 20 ! a comment\n1\t2\n" + std::string(100, 'x') + "\n\n",
                        [] {
                          std::string results = ask_lines(3, 80);
                          return results + ask_lines(1, 5);
                        });
  EXPECT_EQ(d.results, field("10 20 ") + field("1 2") + field(std::string(80, 'x')) + field("", 5));
}

TEST(Askline, MacroCommandsAndHelp) {
  TempFolder folder;
  // "@x" and "@R" during a replay give the help text and the same question again.
  write_file(folder / "inner.mac", "@R\n7\n");
  auto d = run_dialogue(folder, "@x\n@q\n@r\nquit\nNOFILE\nQUIT\n@R\ninner.mac\n\n",
                        [] { return ask_lines(2); });
  EXPECT_EQ(d.exit_status, 0);
  EXPECT_EQ(d.results, field("7") + field(""));
  EXPECT_EQ(count(d.out, " The commands for creating and reading a macro file are:"), 2) << d.out;
  EXPECT_NE(d.out.find("\n " + std::string(80, '-') + "\n The commands"), std::string::npos);
  EXPECT_NE(d.out.find("  @M - Create a macro file\n"
                       "       The name of a file to hold the macro will be requested\n"
                       "  @Q - Terminate the macro file\n"
                       "  @R - Open and read a Macro file\n"
                       "       The name of the file containing the macro will be requested\n " +
                       std::string(80, '-') + "\n\n"),
            std::string::npos);
  EXPECT_NE(d.out.find(" You are NOT writing to a macro file!\a\n"), std::string::npos);
  // A lower-case "quit" is a file name; "QUIT" ends the question for a file.
  const std::string not_found = " File NOT found!!\a Enter \"QUIT\" to resume terminal input\n";
  EXPECT_EQ(not_found.size(), 57u);  // the 56 characters and the line end
  EXPECT_EQ(count(d.out, not_found), 2);
  EXPECT_NE(d.out.find(" Commands will be read from the terminal\n"), std::string::npos);
  EXPECT_NE(d.out.find(" The commands will be read from " + recio::pad("inner.mac", 80) + "\n"),
            std::string::npos);
  // The replayed answer is echoed after its prompt; at the end of the file
  // the terminal takes over and the question is asked there.
  EXPECT_NE(d.out.find(" 7\n"), std::string::npos);
  EXPECT_NE(d.out.find(" The macro file is empty, reading from the terminal is resumed.\n"), std::string::npos);
}

TEST(Askline, RecordsAnswersAsTyped) {
  TempFolder folder;
  auto d = run_dialogue(folder, "@m\nrec.mac\n10 20 ! note\n\n@M\nx\n@Q\nlast\n",
                        [] { return ask_lines(4); });
  EXPECT_EQ(d.exit_status, 0);
  // "@M" and the name are not recorded; the empty answer is one blank.
  EXPECT_EQ(read_file(folder / "rec.mac"), "10 20 ! note\n \nx\n");
  EXPECT_EQ(d.results, field("10 20 ") + field("") + field("x") + field("last"));
  EXPECT_NE(d.out.find(" You are already writing a macro to" + recio::pad("rec.mac", 80) + "\n"),
            std::string::npos);

  // A replayed macro recorded into a new one: echoed and recorded both.
  d = run_dialogue(folder, "@M\ncopy.mac\n@R\nrec.mac\n", [] { return ask_lines(2); });
  EXPECT_EQ(d.exit_status, 0);
  EXPECT_EQ(d.results, field("10 20 ") + field(""));
  EXPECT_NE(d.out.find(" 10 20 ! note\n"), std::string::npos);
  EXPECT_EQ(read_file(folder / "copy.mac"), "10 20 ! note\n \n");

  // When the replayed file runs out, its last answer is not recorded twice.
  write_file(folder / "one.mac", "first\n");
  d = run_dialogue(folder, "@M\nboth.mac\n@R\none.mac\nsecond\n", [] { return ask_lines(2); });
  EXPECT_EQ(d.exit_status, 0);
  EXPECT_EQ(d.results, field("first") + field("second"));
  EXPECT_EQ(read_file(folder / "both.mac"), "first\nsecond\n");
}

TEST(Askline, MacroFileThatCannotBeWrittenLeavesRecordingOff) {
  TempFolder folder;
  write_file(folder / "old.mac", "keep me\n");
  auto d = run_dialogue(folder, "@M\nold.mac\n@M\nmissing/dir/x.mac\n1\n@Q\n2\n",
                        [] { return ask_lines(2); });
  EXPECT_EQ(d.exit_status, 0);
  EXPECT_EQ(read_file(folder / "old.mac"), "keep me\n");
  EXPECT_NE(d.out.find("old.mac already exists"), std::string::npos) << d.out;
  EXPECT_NE(d.out.find("missing/dir/x.mac cannot be created"), std::string::npos) << d.out;
  // Recording stayed off, so @Q has nothing to end.
  EXPECT_NE(d.out.find(" You are NOT writing to a macro file!"), std::string::npos);
  EXPECT_EQ(d.results, field("1") + field("2"));
  // The same question was asked again after each refusal.
  EXPECT_EQ(count(d.out, " Answer >"), 5);

  // A name that cannot be read: the terminal closes after "@M".
  d = run_dialogue(folder, "@M\n", [] { return ask_lines(1); });
  EXPECT_NE(d.out.find("The name of the macro file could not be read"), std::string::npos) << d.out;
  EXPECT_NE(d.out.find(" FORTRAN error number  -1 on unit  5"), std::string::npos) << d.out;
  EXPECT_NE(d.exit_status, 0);
}

TEST(Askline, ClosedTerminalEndsThroughIofail) {
  TempFolder folder;
  auto d = run_dialogue(folder, "", [] { return ask_lines(1); });
  EXPECT_EQ(count(d.out, " Answer >"), 2);
  EXPECT_NE(d.out.find(" FORTRAN error number  -1 on unit  5"), std::string::npos) << d.out;
  EXPECT_NE(d.exit_status, 0);
  EXPECT_EQ(d.results, "");

  // A closed terminal while asking for a file to replay does not loop.
  d = run_dialogue(folder, "@R\n", [] { return ask_lines(1); });
  EXPECT_NE(d.out.find(" FORTRAN error number  -1 on unit  5"), std::string::npos) << d.out;
  EXPECT_NE(d.exit_status, 0);
}

// A line without end must not be read into memory without end: past the
// record bound it is refused, and its rest is never taken for an answer.
TEST(Askline, LineBeyondTheRecordBoundIsRefused) {
  TempFolder folder;
  auto d = run_dialogue(folder, std::string(70000, 'x') + "\nshort\n", [] { return ask_lines(1); });
  EXPECT_EQ(d.results, field("short"));
  EXPECT_EQ(count(d.out, " Answer >"), 2);

  d = run_dialogue(folder, std::string(140000, 'y') + "\n", [] { return ask_lines(1); });
  EXPECT_NE(d.out.find(" FORTRAN error number 125 on unit  5"), std::string::npos) << d.out;
  EXPECT_NE(d.exit_status, 0);
}

TEST(AnswerTokens, RealsFromOneLine) {
  TempFolder folder;
  auto three = [] {
    float a = 1, b = 2, c = 3;
    vesk::ASKREAL("A", 0, a);
    vesk::ASKREAL("B", 1, b);
    vesk::ASKREAL("C", 1, c);
    std::ostringstream s;
    s << a << ' ' << b << ' ' << c;
    return s.str();
  };
  EXPECT_EQ(run_dialogue(folder, "10,,30\n", three).results, "10 2 30");
  EXPECT_EQ(run_dialogue(folder, "10/\n", three).results, "10 2 3");
  EXPECT_EQ(run_dialogue(folder, "/\n", three).results, "1 2 3");
  EXPECT_EQ(run_dialogue(folder, "1/4 s30\t-2.5e2\n", three).results, "0.25 0.5 -250");
  // Missing values are asked for with the later prompts.
  auto d = run_dialogue(folder, "10\n20\n30\n", three);
  EXPECT_EQ(d.results, "10 20 30");
  EXPECT_NE(d.out.find(" B >"), std::string::npos);
  EXPECT_NE(d.out.find(" C >"), std::string::npos);

  auto one = [] {
    float a = 5;
    vesk::ASKREAL("A", 0, a);
    std::ostringstream s;
    s << a;
    return s.str();
  };
  EXPECT_EQ(run_dialogue(folder, ",\n", one).results, "5");
  // A blank line asks again; so does a token that is not a number.
  d = run_dialogue(folder, "\nX\n7\n", one);
  EXPECT_EQ(d.results, "7");
  EXPECT_EQ(count(d.out, " A >"), 3);
  EXPECT_NE(d.out.find(" Error in the string: \a\n X" + std::string(254, ' ') + "\n"), std::string::npos);
}

TEST(AnswerTokens, Words) {
  TempFolder folder;
  auto word = [](std::size_t length) {
    return [length] {
      std::string a = recio::pad("DEF", length);
      vesk::ASKCHAR("W", 0, a);
      return "[" + a + "]";
    };
  };
  EXPECT_EQ(run_dialogue(folder, "\n", word(8)).results, "[        ]");
  EXPECT_EQ(run_dialogue(folder, ",\n", word(8)).results, "[DEF     ]");
  EXPECT_EQ(run_dialogue(folder, "yes\n", word(1)).results, "[y]");

  auto two = [] {
    std::string a(8, ' '), b = recio::pad("B", 8);
    vesk::ASKCHAR("First", 1, a);
    vesk::ASKCHAR("Second", 1, b);
    return "[" + a + "][" + b + "]";
  };
  EXPECT_EQ(run_dialogue(folder, "in.dat,out.dat\n", two).results, "[in.dat  ][out.dat ]");
  EXPECT_EQ(run_dialogue(folder, "name/\n", two).results, "[name    ][/       ]");
  auto d = run_dialogue(folder, "in.dat\nout.dat\n", two);
  EXPECT_EQ(d.results, "[in.dat  ][out.dat ]");
  EXPECT_NE(d.out.find(" Second >"), std::string::npos);
}

// The prompt on a real terminal: the answer is typed on the prompt's line.
TEST(Askline, PromptStaysOnTheAnswerLineInATerminal) {
  if (shell("command -v tmux >/dev/null 2>&1") != 0) GTEST_SKIP() << "tmux is not installed";
  TempFolder folder;
  const std::string socket = "vesk-ask-" + std::to_string(getpid());
  const std::string tmux = "tmux -L " + socket + " ";
  auto capture = [&] {
    std::string file = (folder / "pane.txt").string();
    shell(tmux + "capture-pane -p -t dialogue > " + file + " 2>/dev/null");
    return read_file(file);
  };
  auto wait_for = [&](const std::string& text) {
    for (int i = 0; i < 200; ++i) {
      if (capture().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  };
  std::string start = tmux + "new-session -d -s dialogue -x 100 -y 40 -c " + folder.path().string() + " '" +
                      GONIANG_BIN + "; echo EXIT=$?; sleep 30'";
  ASSERT_EQ(shell(start), 0);
  auto keys = [&](const std::string& text) {
    shell(tmux + "send-keys -t dialogue -l '" + text + "'");
    shell(tmux + "send-keys -t dialogue Enter");
  };
  EXPECT_TRUE(wait_for(" Enter theta (0 to quit) >"));
  keys("0");
  EXPECT_TRUE(wait_for("omega,chi,phi >"));
  keys("10 30 40");
  EXPECT_TRUE(wait_for("azimuth >"));
  keys("15");
  EXPECT_TRUE(wait_for("(Y/<N>)? >"));
  keys("n");
  EXPECT_TRUE(wait_for("sample angles omega,chi,phi >"));
  keys("5 25 60");
  EXPECT_TRUE(wait_for("EXIT="));
  std::string pane = capture();
  shell(tmux + "kill-server");
  EXPECT_NE(pane.find(" Enter theta (0 to quit) >0\n"), std::string::npos) << pane;
  EXPECT_NE(pane.find(" Enter goniometer angles omega,chi,phi >10 30 40\n"), std::string::npos) << pane;
  EXPECT_NE(pane.find(" Are 2-theta & omega coupled (Y/<N>)? >n\n"), std::string::npos) << pane;
  EXPECT_NE(pane.find(" Enter sample angles omega,chi,phi >5 25 60\n THETA =       0.00\n"), std::string::npos)
      << pane;
  EXPECT_NE(pane.find("EXIT=0"), std::string::npos) << pane;
}
