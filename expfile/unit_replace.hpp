// An experiment's files replaced as one unit (cif2exp writing a new
// structure into NAME): the marks files of the old structure move aside
// together, stale files go, and the new files, each complete under a
// temporary name, take their final names, NAME.EXP last. Before the first
// step the whole plan is written to stem + ".REPLACING"; a program killed
// half way leaves that file, and the next program to take the experiment's
// lock (cif2exp or vortan) completes the plan from it before it reads
// anything. Every step can be done again without harm, so completing it
// twice is the same as once. Call both under the experiment's lock.
#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vesk {

struct UnitReplace {
  std::string stem;
  // Marks files of the old structure, moved aside: (file, aside name).
  std::vector<std::pair<std::string, std::string>> moves;
  std::vector<std::string> removals;  // files the new structure must not find
  // (temporary, final name), in the order they are renamed.
  std::vector<std::pair<std::string, std::string>> renames;
};

std::string unit_journal_name(const std::string& stem);

// The marks files of `stem` (NAME.VORTAN, NAME.TORHB) and their kept
// copies (.prev, .prev.N, .new) that exist, each with the name it gets when
// the old structure's files are moved aside: one number n for all, the
// first at which none of the names is taken (NAME.VORTAN.n,
// NAME.VORTAN.n.prev, NAME.TORHB.n, ...), so that nothing earlier is
// written over and a kept copy is never compared with another structure's
// marks.
std::vector<std::pair<std::string, std::string>> marks_files_aside(const std::string& stem);

// Writes the plan, carries it out, calls `done` (to say what was moved
// where: a program stopped before the plan is removed has it said again by
// the next one) and removes the plan. Throws vesk::Error with the system's
// reason; what is done by then stays done, and the plan stays for the next
// program to complete.
void commit_unit_replace(const UnitReplace& plan, const std::function<void()>& done);

// Completes the plan of a program that was stopped half way. Returns a line
// for the user for each file moved aside and one that says what was
// completed; nothing when there was no plan.
std::vector<std::string> complete_interrupted_replace(const std::string& stem);

}  // namespace vesk
