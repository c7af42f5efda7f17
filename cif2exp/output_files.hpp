// Output files that appear whole or not at all: each is written under a
// temporary name beside its final one and renamed only when every file of
// the run is complete. Temporaries left uncommitted are removed.
#pragma once
#include <string>
#include <vector>

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
  // Renames every temporary to its final name, in the order added: the
  // last one added is the one whose presence says the run finished.
  void commit();

 private:
  struct Pending {
    std::string temporary;
    std::string final_name;
  };
  std::vector<Pending> pending_;
  std::vector<std::string> stale_;
  bool committed_ = false;
};

// True when `file` is an experiment file that cif2exp wrote (its only
// history record names cif2exp), so that rewriting it loses nothing.
bool written_by_cif2exp(const std::string& file);

}  // namespace cif2exp
