// The least-squares controls that the refinement left in the experiment file
// ("  RFFN CDAT1" to "  RFFN CDAT9", eight 8-character fields each), listed
// one line per setting.
#pragma once

namespace vesk {

constexpr int kMaxControlRecords = 9;   // the record number is one digit
constexpr int kFieldsPerControlRecord = 8;

// Writes the control lines on the listing. Without the first control record
// it writes the five error lines on the listing and the terminal and stops
// through ISAMFAIL.
void LSCTRL(int experiment_unit, int listing_unit);

}  // namespace vesk
