// Reading typed items out of one unformatted record, with bounds checks.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace recio {

class RecordCursor {
 public:
  explicit RecordCursor(std::span<const std::uint8_t> data) : data_(data) {}
  // Each getter returns false (and leaves the target alone) when the record
  // holds too few bytes.
  bool get(std::int32_t& value);
  bool get(float& value);
  bool get_text(std::string& value, std::size_t length);
  bool skip(std::size_t bytes);
  std::size_t remaining() const { return data_.size() - position_; }

 private:
  std::span<const std::uint8_t> data_;
  std::size_t position_ = 0;
};

// Builds one unformatted record (little-endian, as the covariance file holds it).
class RecordBuilder {
 public:
  RecordBuilder& put(std::int32_t value);
  RecordBuilder& put(float value);
  RecordBuilder& put_text(const std::string& value, std::size_t length);
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace recio
