// vortan's run controls of one phase in the experiment file: the record
// "  VRTN CDAT" + phase digit and, for the words that do not fit its 68
// columns, further records "  VRTN CDT" + phase digit + a letter B to Z,
// read after it, in letter order, as one text (the records joined by a
// blank). A word never runs from one record into the next.
#pragma once
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

constexpr int kMostVortanControlRecords = 26;  // the first record, then B to Z

// Record 1: "  VRTN CDAT1"; record 2: "  VRTN CDT1B", ... record 26: "  VRTN CDT1Z".
std::string control_key(int phase, int record);

// The control text of `phase`: false (and `text` empty) when its first
// record is absent. Further records are read up to the first one absent.
bool read_control_text(int experiment_unit, int phase, std::string& text);

// The values of the records that hold `text` (words separated by blanks,
// commas or tabs), each at most 68 columns, as many words in each as fit;
// a word for which `keyword` is true starts a new record rather than end
// one without its value. Throws vesk::Error naming the phase when a word is longer than a record
// or the words need more than kMostVortanControlRecords records.
std::vector<std::string> control_record_values(std::string_view text, int phase,
                                               bool (*keyword)(std::string_view) = nullptr);

// Rewrites the experiment file `file` with the control records of each
// phase of `phases` (phase -> record values) in place of its old ones: the
// new records stand where its first old one stood (before the terminator
// "ZZZZZZZZZZZZ" when it had none); every other record stays byte for byte
// as it was, in its order. The new file is written whole beside the old
// one, put on the disk and renamed over it, so a run that fails leaves the
// old file. Call it under the experiment's lock. Throws vesk::Error naming
// the file and the system's reason.
void rewrite_control_records(const std::string& file, const std::map<int, std::vector<std::string>>& phases);

}  // namespace vesk
