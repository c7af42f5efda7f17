// vortan NAME --set WORD=VALUE ... and vortan NAME --settings: the run
// controls of the experiment's phases changed and listed from the command
// line, under the experiment's lock, with nothing computed.
#pragma once
#include <vector>

#include "report/control_settings.hpp"

namespace vesk {

// Applies `settings` to the control records of the phases they name (every
// phase with a control record when no phase is named) and writes the
// experiment file once, through the safe replace, or not at all when a
// value is refused (vesk::Error with the record's message). Then, with
// `list`, shows every word of every phase with its value, default and
// meaning. Takes the experiment's name as a run does.
void run_settings(const std::vector<ControlSetting>& settings, bool list);

}  // namespace vesk
