#include "recio/status.hpp"

#include "recio/limits.hpp"

namespace recio {

std::string status_text(int status) {
  switch (status) {
    case kOk: return "no error";
    case kEndOfFile: return "end of file";
    case kBadNumericField: return "invalid character in a numeric field";
    case kNotConnected: return "unit not connected";
    case kOpenFailed: return "cannot open the file with the status asked for";
    case kNoSuchRecord: return "direct-access record beyond the end of the file";
    case kBadUnformatted: return "unformatted record short, truncated or mis-framed";
    case kWrongAccess: return "operation not allowed for the unit's access or form";
    case kWriteFailed: return "write refused by the system";
    case kNumberOutOfRange: return "number too large for its variable";
    case kReadFailed: return "read refused by the system";
    case kBadUnit: return "invalid unit number";
    case kRecordTooLong: return "record longer than " + std::to_string(kMaxRecordLength) + " characters";
    default: return "I/O error " + std::to_string(status);
  }
}

}  // namespace recio
