#include "expfile/unit_replace.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "recio/error.hpp"
#include "recio/file_replace.hpp"

namespace vesk {

namespace {

bool present(const std::string& file) {
  struct stat info {};
  return ::lstat(file.c_str(), &info) == 0;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat x {}, y {};
  return ::lstat(a.c_str(), &x) == 0 && ::lstat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// The plan's text: one step a line, fields separated by tabs. Every file
// lies in the experiment's folder and is named without it, so that a
// program started from another folder completes the same plan.
std::string plan_text(const UnitReplace& plan) {
  auto checked = [](const std::string& name) {
    const std::string local = std::filesystem::path(name).filename().string();
    if (local.find_first_of("\t\n") != std::string::npos)
      throw Error("The file name \"" + name + "\" holds a tab or a line end, which this program does not write");
    return local;
  };
  std::string text = "stem\t" + checked(plan.stem) + "\n";
  for (const auto& [from, to] : plan.moves) text += "move\t" + checked(from) + "\t" + checked(to) + "\n";
  for (const std::string& file : plan.removals) text += "remove\t" + checked(file) + "\n";
  for (const auto& [from, to] : plan.renames) text += "rename\t" + checked(from) + "\t" + checked(to) + "\n";
  return text;
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

}  // namespace

std::string unit_journal_name(const std::string& stem) { return stem + ".REPLACING"; }

std::vector<std::pair<std::string, std::string>> marks_files_aside(const std::string& stem) {
  const std::filesystem::path path(stem);
  const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  // (base, suffix) of every file to move: base + suffix now, base + "." + n + suffix then.
  std::vector<std::pair<std::string, std::string>> found;
  for (const char* kind : {".VORTAN", ".TORHB"}) {
    const std::string base = stem + kind, name = path.filename().string() + kind;
    for (const char* suffix : {"", ".prev", ".new"})
      if (present(base + suffix)) found.emplace_back(base, suffix);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
      const std::string file = entry.path().filename().string();
      const std::string prefix = name + ".prev.";
      if (file.size() > prefix.size() && file.compare(0, prefix.size(), prefix) == 0 &&
          file.find_first_not_of("0123456789", prefix.size()) == std::string::npos)
        found.emplace_back(base, file.substr(name.size()));
    }
  }
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

void commit_unit_replace(const UnitReplace& plan, const std::function<void()>& done) {
  const std::string journal = unit_journal_name(plan.stem);
  const std::string temporary = recio::temporary_name(journal);
  recio::write_new_file(temporary, plan_text(plan), "plan of the replacement");
  try {
    recio::rename_file(temporary, journal, "plan of the replacement");
  } catch (...) {
    std::remove(temporary.c_str());
    throw;
  }
  carry_out(plan);
  done();
  if (::unlink(journal.c_str()) != 0)
    throw Error("The plan " + journal + " cannot be removed: " + std::strerror(errno));
}

std::vector<std::string> complete_interrupted_replace(const std::string& stem) {
  const std::string journal = unit_journal_name(stem);
  std::ifstream in(journal, std::ios::binary);
  if (!in) return {};
  UnitReplace plan;
  const std::filesystem::path folder = std::filesystem::path(stem).parent_path();
  auto in_folder = [&folder](const std::string& name) { return (folder / name).string(); };
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream words(line);
    for (std::string field; std::getline(words, field, '\t');) fields.push_back(field);
    if (fields.size() == 2 && fields[0] == "stem") plan.stem = in_folder(fields[1]);
    else if (fields.size() == 3 && fields[0] == "move") plan.moves.emplace_back(in_folder(fields[1]), in_folder(fields[2]));
    else if (fields.size() == 2 && fields[0] == "remove") plan.removals.push_back(in_folder(fields[1]));
    else if (fields.size() == 3 && fields[0] == "rename")
      plan.renames.emplace_back(in_folder(fields[1]), in_folder(fields[2]));
    else
      throw Error("The plan " + journal + " of an interrupted replacement of the experiment's files does not read (\"" +
                  line + "\"); look at the files of " + stem + " and remove it");
  }
  std::vector<std::string> lines;
  for (const auto& [from, to] : plan.moves)
    if (present(from) || same_file(from, to) || present(to))
      lines.push_back(" " + from + " belonged to the structure before; it is kept as " + to + " with its marks");
  carry_out(plan);
  if (::unlink(journal.c_str()) != 0)
    throw Error("The plan " + journal + " cannot be removed: " + std::strerror(errno));
  lines.push_back(" The replacement of the files of " + stem +
                  " by a program that was stopped half way is completed now");
  return lines;
}

}  // namespace vesk
