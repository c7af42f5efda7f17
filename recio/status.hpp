// I/O status numbers and their texts.
#pragma once
#include <string>

namespace recio {

constexpr int kEndOfFile = -1;
constexpr int kOk = 0;
// Positive statuses; the implementation may add more, each with a text.
constexpr int kBadNumericField = 115;   // a character that cannot stand in a numeric field
constexpr int kNotConnected = 114;      // unit not connected
constexpr int kOpenFailed = 118;        // the file cannot be opened with the status asked for
constexpr int kNoSuchRecord = 136;      // direct-access record beyond the end of the file
constexpr int kBadUnformatted = 119;    // unformatted record short, truncated or mis-framed
constexpr int kWrongAccess = 120;       // operation not allowed for the unit's access or form
constexpr int kWriteFailed = 121;       // the system refused a write
constexpr int kNumberOutOfRange = 122;  // a number read does not fit its variable
constexpr int kReadFailed = 123;        // the system refused a read
constexpr int kBadUnit = 124;           // a negative unit number
constexpr int kRecordTooLong = 125;     // a sequential record longer than kMaxRecordLength

std::string status_text(int status);

}  // namespace recio
