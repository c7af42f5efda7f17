// The least-squares variables of a model and how every atom parameter
// follows them: one variable per refined parameter that is free, the
// special positions' ties, hydrogen atoms riding on their pivot atoms
// (their coordinates move with the pivot's: its columns take their
// derivatives), Uiso tied to the pivot's Ueq, the overall scale and the
// extinction parameter, the twin fractions, free variables that occupancies
// or Uiso follow, atoms that share another's coordinates or displacement
// parameters, rigid groups (their atoms' coordinates follow the group's six
// variables to first order, through the current positions).
#pragma once
#include <string>
#include <vector>

#include "lsq/model.hpp"

namespace lsq {

struct Term {
  int variable = 0;
  double coefficient = 0;
};

enum class VariableKind { Atom, Scale, Extinction, Free, TwinFraction, Rigid };

struct Variable {
  VariableKind kind = VariableKind::Atom;
  int atom = -1;      // Free: the index into Model::free_variables; TwinFraction: into Twin::fractions;
                      // Rigid: into Model::rigid_groups
  Slot slot = kX;
  int component = 0;  // Rigid: 0-2 translation along a, b, c; 3-5 rotation about x, y, z
};

struct ParameterMap {
  std::vector<Variable> variables;
  // atom parameter (atom * kSlots + slot) -> its terms: term_start[k] up to
  // term_start[k + 1] in `terms`.
  std::vector<int> term_start;
  std::vector<Term> terms;
  int scale = -1;       // variable of the overall scale, -1 when fixed
  int extinction = -1;  // variable of the extinction parameter, -1 when none
  std::vector<int> free_variables;  // per Model::free_variables: its variable, -1 when fixed or unused
  std::vector<int> twin_fractions;  // per Twin::fractions: its variable, -1 when fixed
  std::vector<Vec3> sites;         // per atom: on its special position exactly
  std::vector<int> site_order;     // per atom: operators that leave it in place
  // Variables that a refinement counts as parameters but this model leaves
  // fixed (the torsion of a rotating group): they count in n - p.
  int uncounted = 0;

  int count() const { return static_cast<int>(variables.size()); }
  const Term* begin_of(int atom, Slot slot) const { return terms.data() + term_start[atom * kSlots + slot]; }
  const Term* end_of(int atom, Slot slot) const { return terms.data() + term_start[atom * kSlots + slot + 1]; }
};

struct ParameterOptions {
  // Uiso of a riding atom follows its pivot's Uij in the derivatives (the
  // constraint as a function); false: held at its value within the cycle.
  bool riding_u_follows_pivot = false;
};

// Throws vesk::Error naming the atom when a riding atom's pivot rides
// itself or comes from outside the model, or when an atom shares the
// parameters of one that shares another's or differs in kind; naming the
// group when a rigid group has fewer than two atoms, or an atom that is
// outside the model, rides, shares another's site or is in another group.
ParameterMap map_parameters(const Model& model, const ParameterOptions& options = {});

// "C1 x", "scale", "extinction", "free variable 2", "twin fraction 2" (of
// the second domain), "AFIX 66 (line 162) rotation x".
std::string variable_name(const Model& model, const Variable& variable);

// The model moved by `shifts` (one per variable), through the same ties;
// a rigid group's atoms by the whole motion (rotation R(theta) about the
// pivot p, theta the rotation shifts as a vector: x' = p + t + R (x - p)).
Model shifted(const Model& model, const ParameterMap& map, const std::vector<double>& shifts);

}  // namespace lsq
