#include "expfile/unit_replace.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "recio/error.hpp"
#include "recio/file_replace.hpp"

namespace vesk {

namespace {

constexpr std::string_view kPlanHeader = "vesk replacement plan 1";
// Thousands of steps; anything longer is not a plan of ours.
constexpr std::size_t kLongestPlan = 64 * 1024;
// The marks files' kinds and the kept copies that move aside with them.
constexpr std::string_view kMarksKinds[] = {".VORTAN", ".TORHB"};
// The files a conversion writes: renamed into place from their temporaries.
constexpr std::string_view kWrittenFiles[] = {".EXP", ".CMT", ".CIFSRC"};
// The files a conversion may remove: an old covariance file.
constexpr std::string_view kRemovedFiles[] = {".CMT"};

bool present(const std::string& file) {
  struct stat info {};
  return ::lstat(file.c_str(), &info) == 0;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat x {}, y {};
  return ::lstat(a.c_str(), &x) == 0 && ::lstat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

std::string folder_of(const std::string& stem) {
  const std::filesystem::path path(stem);
  return path.has_parent_path() ? path.parent_path().string() : std::string();
}

std::string in_folder(const std::string& folder, std::string_view name) {
  return folder.empty() ? std::string(name) : (std::filesystem::path(folder) / name).string();
}

// FNV-1a, 64 bits: a cut or changed plan does not keep its checksum.
std::uint64_t checksum(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  for (unsigned char byte : bytes) {
    hash ^= byte;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::string hex(std::uint64_t value) {
  char text[17];
  std::snprintf(text, sizeof text, "%016" PRIx64, value);
  return text;
}

bool digits(std::string_view text) {
  return !text.empty() && text.size() <= 9 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A name of a file in the experiment's folder: no folder of its own, no
// ".." and nothing a line of the plan could not hold.
bool plain_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos) return false;
  for (unsigned char c : name)
    if (c < 32 || c == 127) return false;
  return true;
}

// The kind (".VORTAN") and kept-copy suffix ("", ".prev", ".prev.3",
// ".new", ".new.2") of a marks file of the experiment; false for any other name.
bool marks_file_of(std::string_view name, std::string_view stem, std::string_view& kind, std::string_view& suffix) {
  for (std::string_view k : kMarksKinds) {
    if (name.size() < stem.size() + k.size() || name.substr(0, stem.size()) != stem ||
        name.substr(stem.size(), k.size()) != k)
      continue;
    const std::string_view rest = name.substr(stem.size() + k.size());
    for (std::string_view copy : {std::string_view(".prev"), std::string_view(".new")}) {
      if (rest.substr(0, copy.size()) != copy) continue;
      const std::string_view number = rest.substr(copy.size());
      if (!number.empty() && (number[0] != '.' || !digits(number.substr(1)))) return false;
      kind = k;
      suffix = rest;
      return true;
    }
    if (!rest.empty()) return false;
    kind = k;
    suffix = rest;
    return true;
  }
  return false;
}

// Why a step of the plan is not one this program writes; empty when it is.
std::string step_fault(const std::vector<std::string>& fields, std::string_view stem) {
  for (std::size_t k = 1; k < fields.size(); ++k)
    if (!plain_name(fields[k]) || fields[k].compare(0, stem.size() + 1, std::string(stem) + ".") != 0)
      return "it names \"" + fields[k] + "\", which is no file of the experiment " + std::string(stem) +
             " in its folder";
  const std::string& step = fields.front();
  if (step == "move" && fields.size() == 3) {
    std::string_view kind, suffix;
    if (!marks_file_of(fields[1], stem, kind, suffix))
      return "it would move \"" + fields[1] + "\" aside, which is no marks file of the experiment";
    // The aside name: the same file with a number before its kept-copy suffix.
    const std::string base = std::string(stem) + std::string(kind);
    const std::string_view to = fields[2];
    const bool numbered = to.size() > base.size() + suffix.size() + 1 && to.substr(0, base.size()) == base &&
                          to.substr(to.size() - suffix.size()) == suffix && to[base.size()] == '.' &&
                          digits(to.substr(base.size() + 1, to.size() - base.size() - 1 - suffix.size()));
    if (!numbered)
      return "it would move \"" + fields[1] + "\" to \"" + fields[2] + "\", which is not a numbered kept name of it";
    return {};
  }
  if (step == "remove" && fields.size() == 2) {
    for (std::string_view removed : kRemovedFiles)
      if (fields[1] == std::string(stem) + std::string(removed)) return {};
    return "it would remove \"" + fields[1] + "\", which a conversion never removes";
  }
  if (step == "rename" && fields.size() == 3) {
    for (std::string_view written : kWrittenFiles)
      if (fields[2] == std::string(stem) + std::string(written))
        return recio::is_temporary_of(fields[1], fields[2])
                   ? std::string()
                   : "it would rename \"" + fields[1] + "\" to \"" + fields[2] + "\", from no temporary of it";
    return "it would rename a file to \"" + fields[2] + "\", which a conversion does not write";
  }
  std::string line = step;
  for (std::size_t k = 1; k < fields.size(); ++k) line += " " + fields[k];
  return "its line \"" + line.substr(0, 80) + "\" is no step of a plan";
}

std::vector<std::string> tab_fields(std::string_view line) {
  std::vector<std::string> fields;
  for (std::size_t at = 0;;) {
    const std::size_t tab = line.find('\t', at);
    fields.emplace_back(line.substr(at, tab == std::string_view::npos ? std::string_view::npos : tab - at));
    if (tab == std::string_view::npos) return fields;
    at = tab + 1;
  }
}

// Moves `from` to `to` without ever overwriting `to`: link, then unlink.
// Done again after a stop between the two, it finds both names on one file.
void move_without_overwrite(const std::string& from, const std::string& to) {
  if (!present(from)) return;
  if (same_file(from, to) || ::link(from.c_str(), to.c_str()) == 0) {
    if (::unlink(from.c_str()) != 0)
      throw Error("The file " + from + " cannot be moved aside to " + to + ": " + std::strerror(errno));
    return;
  }
  throw Error("The file " + from + " cannot be moved aside to " + to + ": " + std::strerror(errno));
}

void carry_out(const UnitReplace& plan) {
  for (const auto& [from, to] : plan.moves) move_without_overwrite(from, to);
  for (const std::string& file : plan.removals)
    if (::unlink(file.c_str()) != 0 && errno != ENOENT)
      throw Error("The old file " + file + " cannot be removed: " + std::strerror(errno));
  // A temporary that is gone was renamed before the stop.
  for (const auto& [from, to] : plan.renames)
    if (present(from)) recio::rename_file(from, to, "file");
}

// The plan appears under its name whole or not at all: written to an
// unnamed file (O_TMPFILE) that is put on the disk and then linked in, or,
// where the file system has none, to a temporary that is renamed.
void write_plan(const std::string& journal, const std::string& text) {
  const std::string what = "plan of the replacement";
  const std::string folder = folder_of(journal);
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd >= 0) {
    bool written = true;
    for (std::size_t done = 0; done < text.size() && written;) {
      const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      written = n > 0;
      if (written) done += static_cast<std::size_t>(n);
    }
    const int error = !written ? (errno != 0 ? errno : ENOSPC) : ::fsync(fd) != 0 ? errno : 0;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    const bool linked =
        error == 0 && ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, journal.c_str(), AT_SYMLINK_FOLLOW) == 0;
    const int link_error = linked || error != 0 ? 0 : errno;
    ::close(fd);
    if (linked) return;
    if (error != 0) throw Error("The " + what + " " + journal + " cannot be written: " + std::strerror(error));
    if (link_error == EEXIST) throw Error("The " + what + " " + journal + " cannot be written: a file of that name is in the way");
    // No /proc to link from: the temporary below.
  }
  const std::string temporary = recio::temporary_name(journal);
  recio::write_new_file(temporary, text, what, true);
  try {
    recio::rename_file(temporary, journal, what);
  } catch (...) {
    std::remove(temporary.c_str());
    throw;
  }
}

// A file a run writes for the experiment `stem` (without its folder)
// through a temporary.
bool written_through_temporary(std::string_view name, std::string_view stem) {
  std::string_view kind, suffix;
  if (marks_file_of(name, stem, kind, suffix)) return true;
  if (name.substr(0, stem.size()) != stem) return false;
  const std::string_view rest = name.substr(stem.size());
  for (std::string_view own : {".EXP", ".CMT", ".CIFSRC", ".LST", ".json", ".REPLACING", "_geom.cif"})
    if (rest == own) return true;
  return rest.size() == 11 && rest.substr(0, 6) == "_phase" && rest[6] >= '1' && rest[6] <= '9' &&
         rest.substr(7) == ".svg";
}

bool live_marks_file(std::string_view file, std::string_view stem) {
  std::string_view kind, suffix;
  return marks_file_of(file, stem, kind, suffix) && suffix.empty();
}

// Every temporary of the experiment's files that a run left behind.
void remove_left_temporaries(const std::string& stem) {
  const std::string folder = folder_of(stem);
  const std::string name = std::filesystem::path(stem).filename().string();
  std::vector<std::string> bases;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? "." : folder, error)) {
    const std::string file = entry.path().filename().string();
    if (file.size() <= name.size() + 4 || file.compare(file.size() - 4, 4, ".new") != 0) continue;
    // The name the temporary stands for: before ".PID.RANDOM.new" (or the
    // earlier ".PID.new", but never beside a live marks file, whose kept
    // files NAME.VORTAN.2.new have that form).
    for (std::size_t dot = file.find('.', name.size()); dot != std::string::npos; dot = file.find('.', dot + 1)) {
      const std::string base = file.substr(0, dot);
      if (written_through_temporary(base, name) && recio::is_temporary_of(file, base, !live_marks_file(base, name))) {
        bases.push_back(in_folder(folder, base));
        break;
      }
    }
  }
  std::sort(bases.begin(), bases.end());
  bases.erase(std::unique(bases.begin(), bases.end()), bases.end());
  for (const std::string& base : bases) {
    const std::string local = std::filesystem::path(base).filename().string();
    recio::remove_stale_temporaries(base, !live_marks_file(local, name));
  }
}

[[noreturn]] void refuse_plan(const std::string& journal, const std::string& stem, const std::string& why) {
  throw Error("The plan " + journal + " of an interrupted replacement of the files of " + stem + " is refused: " +
              why + "; no file was changed. Look at the files of " + stem + " and remove " + journal + " to go on");
}

}  // namespace

std::string unit_journal_name(const std::string& stem) { return stem + ".REPLACING"; }

std::vector<std::pair<std::string, std::string>> marks_files_aside(const std::string& stem) {
  const std::filesystem::path path(stem);
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const std::string name = path.filename().string();
  // (base, suffix) of every file to move: base + suffix now, base + "." + n + suffix then.
  std::vector<std::pair<std::string, std::string>> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string file = entry.path().filename().string();
    std::string_view kind, suffix;
    if (marks_file_of(file, name, kind, suffix)) found.emplace_back(stem + std::string(kind), std::string(suffix));
  }
  std::sort(found.begin(), found.end());
  for (int n = 1;; ++n) {
    const std::string number = "." + std::to_string(n);
    bool free = !present(stem + ".VORTAN" + number) && !present(stem + ".TORHB" + number);
    for (const auto& [base, suffix] : found) free = free && !present(base + number + suffix);
    if (!free) continue;
    std::vector<std::pair<std::string, std::string>> moves;
    for (const auto& [base, suffix] : found) moves.emplace_back(base + suffix, base + number + suffix);
    return moves;
  }
}

std::string unit_plan_text(const UnitReplace& plan) {
  auto local = [](const std::string& name) { return std::filesystem::path(name).filename().string(); };
  std::string text = std::string(kPlanHeader) + "\nstem\t" + local(plan.stem) + "\n";
  std::size_t steps = 0;
  for (const auto& [from, to] : plan.moves) text += "move\t" + local(from) + "\t" + local(to) + "\n", ++steps;
  for (const std::string& file : plan.removals) text += "remove\t" + local(file) + "\n", ++steps;
  for (const auto& [from, to] : plan.renames) text += "rename\t" + local(from) + "\t" + local(to) + "\n", ++steps;
  text += "end\t" + std::to_string(steps) + "\t" + hex(checksum(text)) + "\n";
  read_unit_plan(plan.stem, text);  // never a plan the next program would refuse
  return text;
}

UnitReplace read_unit_plan(const std::string& stem, const std::string& text) {
  const std::string folder = folder_of(stem);
  const std::string name = std::filesystem::path(stem).filename().string();
  if (text.size() > kLongestPlan)
    throw Error("it holds " + std::to_string(text.size()) + " bytes, more than any plan");
  // The end line: "end", the number of steps and the checksum of all before it.
  if (text.empty() || text.back() != '\n') throw Error("it is cut short (its end line is missing)");
  const std::size_t last_break = text.rfind('\n', text.size() - 2);
  const std::size_t end_start = last_break == std::string::npos ? 0 : last_break + 1;
  const std::vector<std::string> end =
      tab_fields(std::string_view(text).substr(end_start, text.size() - 1 - end_start));
  if (end_start == 0 || end.size() != 3 || end[0] != "end") throw Error("it is cut short (its end line is missing)");
  if (end[2] != hex(checksum(std::string_view(text).substr(0, end_start))))
    throw Error("it is damaged (its checksum does not match what it holds)");
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < end_start;) {
    const std::size_t stop = text.find('\n', at);
    lines.push_back(text.substr(at, stop - at));
    at = stop + 1;
  }
  if (lines.size() < 2 || lines[0] != kPlanHeader)
    throw Error("it is no plan this program wrote (its first line is not \"" + std::string(kPlanHeader) + "\")");
  const std::vector<std::string> stem_line = tab_fields(lines[1]);
  if (stem_line.size() != 2 || stem_line[0] != "stem") throw Error("it names no experiment");
  if (stem_line[1] != name)
    throw Error("it is the plan of the experiment \"" + stem_line[1].substr(0, 80) + "\", not of " + name);
  if (end[1] != std::to_string(lines.size() - 2))
    throw Error("it counts " + end[1].substr(0, 20) + " steps but holds " + std::to_string(lines.size() - 2));
  UnitReplace plan;
  plan.stem = stem;
  for (std::size_t k = 2; k < lines.size(); ++k) {
    const std::vector<std::string> fields = tab_fields(lines[k]);
    if (const std::string fault = step_fault(fields, name); !fault.empty()) throw Error(fault);
    if (fields[0] == "move") plan.moves.emplace_back(in_folder(folder, fields[1]), in_folder(folder, fields[2]));
    if (fields[0] == "remove") plan.removals.push_back(in_folder(folder, fields[1]));
    if (fields[0] == "rename") plan.renames.emplace_back(in_folder(folder, fields[1]), in_folder(folder, fields[2]));
  }
  return plan;
}

void commit_unit_replace(const UnitReplace& plan, const std::function<void()>& done) {
  const std::string journal = unit_journal_name(plan.stem);
  const std::string text = unit_plan_text(plan);
  // The new files' content, then the plan, then its folder on the disk
  // before any name changes: a machine that goes down finds a plan whole
  // or none.
  for (const auto& [from, to] : plan.renames) recio::sync_file(from, "new file");
  write_plan(journal, text);
  recio::sync_folder_of(journal, "plan of the replacement");
  carry_out(plan);
  recio::sync_folder_of(journal, "replaced files");
  done();
  if (::unlink(journal.c_str()) != 0)
    throw Error("The plan " + journal + " cannot be removed: " + std::strerror(errno));
}

std::vector<std::string> complete_interrupted_replace(const std::string& stem) {
  const std::string journal = unit_journal_name(stem);
  // O_NONBLOCK: a FIFO put there must not hold the program (and the lock) up.
  const int fd = ::open(journal.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      remove_left_temporaries(stem);
      return {};
    }
    refuse_plan(journal, stem, errno == ELOOP ? "it is a symbolic link" : std::strerror(errno));
  }
  struct stat info {};
  std::string why;
  if (::fstat(fd, &info) != 0) why = std::strerror(errno);
  else if (!S_ISREG(info.st_mode)) why = "it is not a plain file (a FIFO, a device or a folder)";
  else if (info.st_nlink != 1) why = "it has another name (a hard link)";
  else if (static_cast<unsigned long long>(info.st_size) > kLongestPlan)
    why = "it holds " + std::to_string(info.st_size) + " bytes, more than any plan";
  std::string text;
  while (why.empty() && text.size() <= kLongestPlan) {
    char block[8192];
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) why = std::strerror(errno);
    if (n <= 0) break;
    text.append(block, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!why.empty()) refuse_plan(journal, stem, why);
  UnitReplace plan;
  try {
    plan = read_unit_plan(stem, text);
  } catch (const Error& error) {
    refuse_plan(journal, stem, error.what());
  }
  std::vector<std::string> lines;
  for (const auto& [from, to] : plan.moves)
    if (present(from) || same_file(from, to) || present(to))
      lines.push_back(" " + from + " belonged to the structure before; it is kept as " + to + " with its marks");
  carry_out(plan);
  recio::sync_folder_of(journal, "replaced files");
  if (::unlink(journal.c_str()) != 0)
    throw Error("The plan " + journal + " cannot be removed: " + std::strerror(errno));
  lines.push_back(" The replacement of the files of " + stem +
                  " by a program that was stopped half way is completed now");
  remove_left_temporaries(stem);
  return lines;
}

}  // namespace vesk
