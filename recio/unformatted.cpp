#include "recio/unformatted.hpp"

#include <bit>

namespace recio {

namespace {

std::uint32_t from_little_endian(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void append_little_endian(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

bool RecordCursor::get(std::int32_t& value) {
  if (remaining() < 4) return false;
  value = static_cast<std::int32_t>(from_little_endian(data_.data() + position_));
  position_ += 4;
  return true;
}

bool RecordCursor::get(float& value) {
  if (remaining() < 4) return false;
  value = std::bit_cast<float>(from_little_endian(data_.data() + position_));
  position_ += 4;
  return true;
}

bool RecordCursor::get_text(std::string& value, std::size_t length) {
  if (remaining() < length) return false;
  value.assign(reinterpret_cast<const char*>(data_.data() + position_), length);
  position_ += length;
  return true;
}

bool RecordCursor::skip(std::size_t bytes) {
  if (remaining() < bytes) return false;
  position_ += bytes;
  return true;
}

RecordBuilder& RecordBuilder::put(std::int32_t value) {
  append_little_endian(bytes_, static_cast<std::uint32_t>(value));
  return *this;
}

RecordBuilder& RecordBuilder::put(float value) {
  append_little_endian(bytes_, std::bit_cast<std::uint32_t>(value));
  return *this;
}

RecordBuilder& RecordBuilder::put_text(const std::string& value, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) bytes_.push_back(static_cast<std::uint8_t>(i < value.size() ? value[i] : ' '));
  return *this;
}

}  // namespace recio
