// The page's changes of marks, to undo and redo in their order. Each step is
// a change as mark_rows made it (report/rows.hpp), which undo_mark_rows puts
// back byte for byte. The history is bounded: at most kMostSteps steps and
// kMostRecords changed records in all, the oldest steps dropped first.
#pragma once
#include <cstddef>
#include <deque>

#include "report/rows.hpp"

namespace vesk {

class MarkHistory {
 public:
  static constexpr std::size_t kMostSteps = 200;
  static constexpr std::size_t kMostRecords = 200000;

  // A change made: it is the next to undo, and nothing is left to redo.
  void push(RowMarksChange change);
  // The step an undo puts back, or a redo makes again; null when none.
  const RowMarksChange* to_undo() const { return done_ > 0 ? &steps_[done_ - 1] : nullptr; }
  const RowMarksChange* to_redo() const { return done_ < steps_.size() ? &steps_[done_] : nullptr; }
  // Once the undo or the redo is on disk.
  void undone() { --done_; }
  void redone() { ++done_; }
  std::size_t undo_steps() const { return done_; }
  std::size_t redo_steps() const { return steps_.size() - done_; }

 private:
  std::deque<RowMarksChange> steps_;
  std::size_t done_ = 0;     // steps_[0, done_) are made, the rest undone
  std::size_t records_ = 0;  // in all steps
};

}  // namespace vesk
