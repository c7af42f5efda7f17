#include "page/mark_history.hpp"

#include <utility>

namespace vesk {

void MarkHistory::push(RowMarksChange change) {
  while (steps_.size() > done_) {
    records_ -= steps_.back().records.size();
    steps_.pop_back();
  }
  records_ += change.records.size();
  steps_.push_back(std::move(change));
  ++done_;
  while (steps_.size() > 1 && (steps_.size() > kMostSteps || records_ > kMostRecords)) {
    records_ -= steps_.front().records.size();
    steps_.pop_front();
    --done_;
  }
}

}  // namespace vesk
