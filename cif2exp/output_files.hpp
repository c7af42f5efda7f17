// Output files that appear whole or not at all: each is written under a
// temporary name beside its final one and renamed only when every file of
// the run is complete, as one unit with the moving aside of the old
// structure's marks files (expfile/unit_replace.hpp). Temporaries left
// uncommitted are removed.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cif2exp/recorded_pressure.hpp"
#include "cif2exp/structure_identity.hpp"

namespace cif2exp {

class PendingOutputs {
 public:
  PendingOutputs() = default;
  PendingOutputs(const PendingOutputs&) = delete;
  PendingOutputs& operator=(const PendingOutputs&) = delete;
  ~PendingOutputs();

  // The temporary name to write `final_name` under.
  std::string add(const std::string& final_name);
  // A file to remove at commit (a stale one that would be taken for ours).
  void remove_at_commit(const std::string& name);
  // A marks file of the old structure, moved to `aside` at commit.
  void move_aside_at_commit(const std::string& file, const std::string& aside);
  // Moves, removes, then renames every temporary to its final name, in the
  // order added (the last one added says the run finished), as the one plan
  // of the experiment `stem`.
  // `done` says what was moved, before the plan is removed.
  void commit(const std::string& stem, const std::function<void()>& done);

 private:
  struct Pending {
    std::string temporary;
    std::string final_name;
  };
  std::vector<Pending> pending_;
  std::vector<std::string> stale_;
  std::vector<std::pair<std::string, std::string>> moves_;
  bool committed_ = false;
};

// Marks of a file set aside by a conversion that the next vortan run
// carries to the atoms still there: the file (without its folder) and
// (atom number in it, atom number now).
struct MarksCarry {
  std::string file;
  std::vector<std::pair<int, int>> atoms;
};

// What NAME.CIFSRC says about the CIF block an experiment came from and the
// structure NAME.EXP holds:
//   # NAME.EXP was converted by cif2exp from this CIF block
//   cif <absolute path of the CIF file as read>
//   block <block name without data_>
//   shift 1/8 1/8 1/8    (when the origin was moved: NAME.EXP's coordinates are the CIF's plus this)
//   label <label in NAME.EXP> <label in the CIF>     (one per atom, in order)
//   riding <label in NAME.EXP> <label of its pivot>  (atoms whose coordinates rode on another's)
//   symmetry <the symbol of NAME.EXP>
//   cell <a b c alpha beta gamma>
//   site <label in NAME.EXP> <type> <x> <y> <z>      (one per atom, in order, as NAME.EXP holds them)
//   carry <file> <number then>:<number now> ...      (marks for the next vortan run to carry)
//   pressure <GPa> <CIF item>                        (when the CIF says the structure was under pressure)
// and, as a comment, where NAME.CMT's covariance came from.
struct CifSource {
  std::string cif;
  std::string block;
  std::string shift;  // "1/8 1/8 1/8", blank when the CIF's origin is kept
  std::vector<std::pair<std::string, std::string>> labels;  // (experiment, CIF)
  std::vector<std::pair<std::string, std::string>> disorder;  // (experiment label, disorder group)
  StructureContent content;
  std::vector<MarksCarry> carry;
  std::vector<std::pair<std::string, std::string>> riding;    // (experiment label, its pivot's)
  std::string covariance;  // "full covariance of ...", "diagonal ...: why"
  std::optional<RecordedPressure> pressure;
};

// Throws vesk::Error with the system's reason when the file cannot be written.
void write_cif_source(const std::string& file, const std::string& experiment_file, const CifSource& source);

// The cif, block, structure and carry lines of an existing file; false when
// there is none. Lines it does not read are passed over: the file is only
// a guide to which marks belong to which atoms.
bool read_cif_source(const std::string& file, CifSource& source);

// True when `file` is an experiment file that cif2exp wrote (its only
// history record names cif2exp), so that rewriting it loses nothing.
bool written_by_cif2exp(const std::string& file);

}  // namespace cif2exp
