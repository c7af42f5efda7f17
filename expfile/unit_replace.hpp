// An experiment's files replaced as one unit (cif2exp writing a new
// structure into NAME): the marks files of the old structure move aside
// together, stale files go, and the new files, each complete under a
// temporary name, take their final names, NAME.EXP last. Before the first
// step the whole plan is written to stem + ".REPLACING" and put on the disk
// with its folder; a program killed half way leaves that file, and the next
// program to take the experiment's lock (cif2exp or vortan) completes the
// plan from it before it reads anything. Every step can be done again
// without harm, so completing it twice is the same as once. Call both under
// the experiment's lock.
//
// The plan on disk is input like any other: the program that finds it
// carries it out only when it is a plain file of one name, no longer than
// any plan, whole (its end line and checksum are there and agree), of this
// experiment (its stem line), and names only files of this experiment's
// family in its folder, each step of the form this program writes. Any
// other plan is refused with a message that names it and what is wrong,
// and no file is touched.
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
// copies (.prev, .prev.N, .new, .new.N) that exist, each with the name it
// gets when the old structure's files are moved aside: one number n for
// all, the first at which none of the names is taken (NAME.VORTAN.n,
// NAME.VORTAN.n.prev, NAME.TORHB.n, ...), so that nothing earlier is
// written over and a kept copy is never compared with another structure's
// marks.
std::vector<std::pair<std::string, std::string>> marks_files_aside(const std::string& stem);

// The plan as it is written to disk, end line and checksum included; throws
// vesk::Error for a plan this program would refuse to read back.
std::string unit_plan_text(const UnitReplace& plan);

// Reads back the plan of `stem` from `text`, every name in the folder of
// `stem`; throws vesk::Error saying what is wrong with it.
UnitReplace read_unit_plan(const std::string& stem, const std::string& text);

// Writes the plan, carries it out, calls `done` (to say what was moved
// where: a program stopped before the plan is removed has it said again by
// the next one) and removes the plan. Throws vesk::Error with the system's
// reason; what is done by then stays done, and the plan stays for the next
// program to complete.
void commit_unit_replace(const UnitReplace& plan, const std::function<void()>& done);

// Completes the plan of a program that was stopped half way, then removes
// the temporaries of the experiment's files that killed runs left behind
// (under the lock no other run is writing one). Returns a line for the user
// for each file moved aside and one that says what was completed; nothing
// when there was no plan. Throws vesk::Error, naming the
// plan and what is wrong with it, for a plan it refuses; nothing is changed
// then.
std::vector<std::string> complete_interrupted_replace(const std::string& stem);

}  // namespace vesk
