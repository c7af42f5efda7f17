// The control words of a phase set and listed from the command line
// (vortan --set, --settings; cif2exp --set), the words beyond one record in
// further records of the phase, and the messages a newcomer meets first.
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expfile/control_records.hpp"
#include "expfile/record_store.hpp"
#include "recio/error.hpp"
#include "recio/fixed_text.hpp"
#include "report/control_settings.hpp"
#include "tests/support/run_program.hpp"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::run_program;
using testing_support::RunResult;
using testing_support::TempFolder;
using testing_support::write_file;

namespace {

// The file without its control records: what --set must leave byte for byte.
std::string without_controls(const std::string& bytes) {
  std::string rest;
  for (std::size_t at = 0; at + 82 <= bytes.size(); at += 82)
    if (bytes.compare(at, 9, "  VRTN CD") != 0) rest += bytes.substr(at, 82);
  return rest;
}

std::vector<std::string> control_records(const std::string& bytes) {
  std::vector<std::string> records;
  for (std::size_t at = 0; at + 82 <= bytes.size(); at += 82)
    if (bytes.compare(at, 9, "  VRTN CD") == 0) records.push_back(bytes.substr(at, 80));
  return records;
}

// The value column of WORD in the output of --settings.
std::string shown_value(const std::string& out, const std::string& word) {
  const std::string start = "\n   " + word + "  ";
  const std::size_t at = out.find(start);
  if (at == std::string::npos) return "(no line for " + word + ")";
  const std::string line = out.substr(at + start.size(), out.find('\n', at + 1) - at - start.size());
  return line.substr(0, line.find("  "));
}

// The default column of WORD: after the value, up to the next two blanks.
std::string shown_default(const std::string& out, const std::string& word) {
  const std::string start = "\n   " + word + "  ";
  const std::size_t at = out.find(start);
  if (at == std::string::npos) return "(no line for " + word + ")";
  std::string line = out.substr(at + start.size(), out.find('\n', at + 1) - at - start.size());
  line = line.substr(line.find("  "));
  line = line.substr(line.find_first_not_of(' '));
  return line.substr(0, line.find("  "));
}

RunResult vortan(const TempFolder& folder, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), "QUARTZ");
  return run_program(VORTAN_BIN, arguments, folder.path());
}

struct WordCase {
  const char* word;
  const char* value;  // --set WORD=value
  const char* shown;  // what --settings shows then
  const char* bad;    // a value the record refuses
  const char* message;
};

// One row per control word: a value other than the default, and a bad one
// with the message a run gives for it in the record.
const WordCase kWords[] = {
    {"DMAX", "2.9", "2.9", "-1", "DMAX -1 of the control record \"  VRTN CDAT1\" is negative or not finite"},
    {"DAGL", "2.1", "2.1", "x", "The DAGL value \"x\" of the control record \"  VRTN CDAT1\" is not a number"},
    {"FOUR", "FORA", "FORA", "YES", "FOUR=YES: FOUR is FORA or DFLT"},
    {"PRNT", "ONCR", "ONCR", "WIDE", "PRNT=WIDE: PRNT is ONCR or DFLT"},
    {"VIEW", "1 -1 0", "1 -1 0", "0 0 0", "VIEW 0 0 0 in the control record \"  VRTN CDAT1\" is no direction"},
    {"HMAX", "2.6", "2.6", "60", "The HMAX value \"60\" of the control record \"  VRTN CDAT1\" is not a distance"},
    {"HANG", "120", "120", "180", "The HANG value \"180\" of the control record \"  VRTN CDAT1\" is not an angle"},
    {"DONR", "N/O/C", "N/O/C", "N/O/", "The DONR value \"N/O/\" of the control record \"  VRTN CDAT1\" has an empty"},
    {"ACPT", "O", "O", "Q", "The ACPT value \"Q\" of the control record \"  VRTN CDAT1\": \"Q\" is not an element"},
    {"TORS", "NOH", "NOH", "SOME", "The TORS value \"SOME\" of the control record \"  VRTN CDAT1\" is not ALL, NOH or NONE"},
    {"BTOL", "0.25", "0.25", "3", "The BTOL value \"3\" of the control record \"  VRTN CDAT1\" is not a tolerance"},
    {"MTOR", "Y", "Y", "maybe", "The MTOR value \"maybe\" of the control record \"  VRTN CDAT1\" is not Y or N"},
    {"PLAN", "Si1 O1 Si1_2_655", "Si1 O1 Si1_2_655", "Si1 O1",
     "PLAN in the control record \"  VRTN CDAT1\" names 2 atoms; a plane takes 3 to 50"},
    {"RING", "N", "N", "no", "The RING value \"no\" of the control record \"  VRTN CDAT1\" is not Y or N"},
    {"PLNS", "N", "N", "0", "The PLNS value \"0\" of the control record \"  VRTN CDAT1\" is not Y or N"},
    {"PANG", "ALL", "ALL", "some", "The PANG value \"some\" of the control record \"  VRTN CDAT1\" is not Y, ALL or N"},
    {"RIGB", "N", "N", "off", "The RIGB value \"off\" of the control record \"  VRTN CDAT1\" is not Y or N"},
    {"OXID", "Si 4 O -2", "O -2 Si 4", "Si 9", "OXID in the control record \"  VRTN CDAT1\" gives \"9\" for Si"},
    {"BVAL", "N", "N", "X", "The BVAL value \"X\" of the control record \"  VRTN CDAT1\" is not Y or N"},
    {"POLY", "N", "N", "X", "The POLY value \"X\" of the control record \"  VRTN CDAT1\" is not Y or N"},
    {"CHKS", "N", "N", "X", "The CHKS value \"X\" of the control record \"  VRTN CDAT1\" is not Y or N"},
    {"BVSF", "0.2", "0.2", "2", "The BVSF value \"2\" of the control record \"  VRTN CDAT1\" is not a number above 0"},
    {"BVSS", "4", "4", "0", "The BVSS value \"0\" of the control record \"  VRTN CDAT1\" is not a number above 0"},
    {"GIIL", "0.3", "0.3", "11", "The GIIL value \"11\" of the control record \"  VRTN CDAT1\" is not a number above 0"},
    {"VDWT", "0.6", "0.6", "-1", "The VDWT value \"-1\" of the control record \"  VRTN CDAT1\" is not a number above 0"},
};

TEST(ControlSettings, EverySettingRoundTripsAndABadValueChangesNothing) {
  std::set<std::string> covered;
  for (const WordCase& c : kWords) covered.insert(c.word);
  for (const vesk::ControlWordInfo& info : vesk::control_words()) EXPECT_EQ(covered.count(info.word), 1u) << info.word;
  EXPECT_EQ(covered.size(), vesk::control_words().size());

  const std::string example = read_file(fs::path(EXAMPLES_DIR) / "QUARTZ.EXP");
  for (const WordCase& c : kWords) {
    SCOPED_TRACE(c.word);
    TempFolder folder;
    write_file(folder / "QUARTZ.EXP", example);
    RunResult run = vortan(folder, {"--set", std::string(c.word) + "=" + c.value});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    const std::string after = read_file(folder / "QUARTZ.EXP");
    EXPECT_EQ(without_controls(after), without_controls(example));
    EXPECT_NO_THROW(vesk::check_record_layout((folder / "QUARTZ.EXP").string()));

    run = vortan(folder, {"--settings"});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_EQ(shown_value(run.out, c.word), c.shown) << run.out;
    // The other words keep their values: DMAX 3.2 and DAGL 2.0 of the example.
    if (std::string(c.word) != "DMAX") {
      EXPECT_EQ(shown_value(run.out, "DMAX"), "3.2");
    }
    if (std::string(c.word) != "DAGL") {
      EXPECT_EQ(shown_value(run.out, "DAGL"), "2");
    }
    EXPECT_EQ(read_file(folder / "QUARTZ.EXP"), after);  // --settings writes nothing

    run = vortan(folder, {"--set", std::string(c.word) + "=" + c.bad});
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << run.out << run.err;
    EXPECT_EQ(read_file(folder / "QUARTZ.EXP"), after);

    // An empty value gives the default back.
    run = vortan(folder, {"--set", std::string(c.word) + "=", "--settings"});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
    EXPECT_EQ(shown_value(run.out, c.word), shown_default(run.out, c.word)) << run.out;
    EXPECT_EQ(without_controls(read_file(folder / "QUARTZ.EXP")), without_controls(example));
  }
}

TEST(ControlSettings, EveryWordAtOnceSpansRecordsThatARunReadsAsOne) {
  TempFolder folder;
  const std::string example = read_file(fs::path(EXAMPLES_DIR) / "QUARTZ.EXP");
  write_file(folder / "QUARTZ.EXP", example);
  std::vector<std::string> arguments{"--set"};
  for (const WordCase& c : kWords)
    if (std::string(c.word) != "FOUR") arguments.push_back(std::string(c.word) + "=" + c.value);
  arguments.push_back("TORS=NONE");
  RunResult run = vortan(folder, arguments);
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::string bytes = read_file(folder / "QUARTZ.EXP");
  EXPECT_EQ(without_controls(bytes), without_controls(example));
  EXPECT_NO_THROW(vesk::check_record_layout((folder / "QUARTZ.EXP").string()));
  const std::vector<std::string> records = control_records(bytes);
  ASSERT_GE(records.size(), 3u);
  for (std::size_t n = 0; n < records.size(); ++n)
    EXPECT_EQ(records[n].substr(0, 12), vesk::control_key(1, static_cast<int>(n) + 1));
  // No keyword ends a record without its value.
  for (const std::string& record : records) {
    const std::string value(recio::trim_right(record.substr(12)));
    const std::string last = value.substr(value.rfind(' ') + 1);
    EXPECT_FALSE(vesk::is_control_keyword(last)) << record;
  }
  run = vortan(folder, {"--settings"});
  for (const WordCase& c : kWords)
    if (std::string(c.word) != "FOUR" && std::string(c.word) != "TORS") {
      EXPECT_EQ(shown_value(run.out, c.word), c.shown) << c.word;
    }
  EXPECT_EQ(shown_value(run.out, "TORS"), "NONE");

  // A run reads the records as one: the limits, and no torsion table.
  run = run_program(VORTAN_BIN, {"QUARTZ"}, folder.path(), "", {{"SOURCE_DATE_EPOCH", "0"}});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  const std::string listing = read_file(folder / "QUARTZ.LST");
  EXPECT_NE(listing.find("DMAX is    2.90000 DAGL is    2.10000"), std::string::npos);
  EXPECT_EQ(listing.find("Torsion angle"), std::string::npos);
  EXPECT_EQ(listing.find("Bond valences"), std::string::npos);  // BVAL N
  // Setting what is set already leaves the file alone.
  const fs::file_time_type written = fs::last_write_time(folder / "QUARTZ.EXP");
  run = vortan(folder, {"--set", "TORS=NONE"});
  EXPECT_EQ(run.exit_status, 0);
  EXPECT_NE(run.out.find("unchanged"), std::string::npos) << run.out;
  EXPECT_EQ(fs::last_write_time(folder / "QUARTZ.EXP"), written);
}

TEST(ControlSettings, WordsApplyInOrderAndTheRecordIsRepaired) {
  struct Case {
    const char* text;
    std::vector<const char*> settings;
    const char* expected;  // the new text, or the start of the message
    bool refused;
  };
  const Case cases[] = {
      {"DMAX 3.0 DFLT ", {"TORS=NOH"}, "DMAX 3.0 DFLT DFLT DFLT TORS NOH", false},
      {"DMAX 3.0 DAGL 2 FORA ONCR TORS ALL RING N", {"TORS=NONE", "DMAX=DFLT"},
       "DFLT DAGL 2 FORA ONCR TORS NONE RING N", false},
      {"DFLT DFLT DFLT DFLT RING N TORS ALL RING Y", {"RING="}, "DFLT DFLT DFLT DFLT TORS ALL", false},
      {"DFLT DFLT DFLT DFLT PLAN A B C PLAN D E F", {"PLAN=G H I", "PLAN=J K L"},
       "DFLT DFLT DFLT DFLT PLAN G H I PLAN J K L", false},
      // A keyword where a positional word stands, which a run refuses: written again in order.
      {"TORS NOH", {"RING=N"}, "DFLT DFLT DFLT DFLT TORS NOH RING N", false},
      // A word cut short at the record's end is named; setting the word before it drops it.
      {"DFLT DFLT DFLT DFLT TORS NONE RI", {"PLNS=N"}, "The word \"RI\" of the control record", true},
      {"DFLT DFLT DFLT DFLT TORS NONE RI", {"TORS=NONE", "RING=N"}, "DFLT DFLT DFLT DFLT TORS NONE RING N", false},
      {"DFLT DFLT", {"PLAN=C1 TORS C2"}, "The value of PLAN=C1 TORS C2 holds the control word TORS", true},
      {"DFLT DFLT", {"DMAX=51"}, "DMAX 51 of the control record \"K\" is above 50 A", true},
      {"DFLT DFLT", {"DMAX=2 3"}, "DMAX=2 3: DMAX takes one value", true},
  };
  for (const Case& c : cases) {
    std::vector<vesk::ControlSetting> settings;
    for (const char* text : c.settings) settings.push_back(vesk::parse_control_setting(text));
    try {
      const std::string text = vesk::apply_control_settings(c.text, settings, "K");
      EXPECT_FALSE(c.refused) << c.text;
      EXPECT_EQ(text, c.expected);
    } catch (const vesk::Error& e) {
      EXPECT_TRUE(c.refused) << c.text << ": " << e.what();
      EXPECT_EQ(std::string(e.what()).rfind(c.expected, 0), 0u) << e.what();
    }
  }
  const vesk::ControlSetting phase2 = vesk::parse_control_setting("tors:2=noh");
  EXPECT_EQ(phase2.word, "TORS");
  EXPECT_EQ(phase2.phase, 2);
  EXPECT_EQ(phase2.value, "noh");
  for (const char* bad : {"TORS", "=1", "XYZ=1", "TORS:0=ALL", "TORS:12=ALL"})
    EXPECT_THROW(vesk::parse_control_setting(bad), vesk::Error) << bad;
}

TEST(ControlSettings, RecordsHoldWholeWordsAndTheFileKeepsEveryOtherRecord) {
  EXPECT_EQ(vesk::control_key(3, 1), "  VRTN CDAT3");
  EXPECT_EQ(vesk::control_key(3, 2), "  VRTN CDT3B");
  EXPECT_EQ(vesk::control_key(3, 26), "  VRTN CDT3Z");
  // 68 columns: a word that would cross the end starts the next record.
  const std::string ten = "ABCDEFGHI ";
  std::string text;
  for (int n = 0; n < 7; ++n) text += ten;  // 69 columns with the last blank
  const std::vector<std::string> values = vesk::control_record_values(text, 1);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0].size(), 59u);
  EXPECT_EQ(values[1], "ABCDEFGHI");
  EXPECT_THROW(vesk::control_record_values(std::string(69, 'A'), 1), vesk::Error);
  std::string many;
  for (int n = 0; n < 26 * 7; ++n) many += "ABCDEFGHI ";
  EXPECT_THROW(vesk::control_record_values(many, 1), vesk::Error);

  // A phase without control records gets them before the terminator; the
  // records of another phase are replaced where they stood.
  TempFolder folder;
  const auto record = [](const std::string& key, const std::string& value) {
    return key + value + std::string(68 - value.size(), ' ') + "\r\n";
  };
  const std::string head = record("      DESCR ", "  title") + record("  VRTN CDAT1", "DMAX 3");
  const std::string middle = record("  VRTN CDT1B", "RING N") + record("CRS1    PNAM", "  phase");
  const std::string end = record("ZZZZZZZZZZZZ", "end");
  write_file(folder / "A.EXP", head + middle + end);
  vesk::rewrite_control_records((folder / "A.EXP").string(), {{1, {"DFLT DFLT"}}, {2, {"DMAX 2", "TORS NOH"}}});
  EXPECT_EQ(read_file(folder / "A.EXP"), record("      DESCR ", "  title") + record("  VRTN CDAT1", "DFLT DFLT") +
                                             record("CRS1    PNAM", "  phase") + record("  VRTN CDAT2", "DMAX 2") +
                                             record("  VRTN CDT2B", "TORS NOH") + end);
}

TEST(ControlSettings, PhasesAreNamedAndOptionsThatComputeAreRefused) {
  TempFolder folder;
  write_file(folder / "QUARTZ.EXP", read_file(fs::path(EXAMPLES_DIR) / "QUARTZ.EXP"));
  const std::string before = read_file(folder / "QUARTZ.EXP");
  RunResult run = vortan(folder, {"--set", "TORS:2=NOH"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("phase 2 of QUARTZ.EXP has no control record \"  VRTN CDAT2\""), std::string::npos) << run.out;
  run = vortan(folder, {"--set", "TORS:1=NOH", "--cif"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("compute nothing"), std::string::npos) << run.err;
  run = vortan(folder, {"--set"});
  EXPECT_EQ(run.exit_status, 1);
  run = vortan(folder, {"--set", "COLOR=red"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("COLOR is not a control word; the words are DMAX, DAGL"), std::string::npos) << run.err;
  EXPECT_EQ(read_file(folder / "QUARTZ.EXP"), before);
  EXPECT_FALSE(fs::exists(folder / "QUARTZ.LST"));
  run = vortan(folder, {"--set", "TORS:1=NOH"});
  EXPECT_EQ(run.exit_status, 0) << run.out;
  EXPECT_NE(run.out.find("Run  vortan QUARTZ  to compute with them"), std::string::npos) << run.out;
  EXPECT_FALSE(fs::exists(folder / "QUARTZ.LST"));
  EXPECT_FALSE(fs::exists(folder / "QUARTZ.VORTAN"));
}

TEST(ControlSettings, ARecordCutShortIsNamedAndMendedBySettingItsWords) {
  // The record as a hand edit leaves it when the words do not fit: the last
  // one cut.
  std::string bytes = read_file(fs::path(EXAMPLES_DIR) / "QUARTZ.EXP");
  const std::size_t at = bytes.find("  VRTN CDAT1");
  ASSERT_NE(at, std::string::npos);
  const std::string cut = "DMAX 3.2 DAGL 2.5 DFLT DFLT TORS NONE HANG 120 PLNS N RIGB N RI";
  bytes.replace(at + 12, 68, cut + std::string(68 - cut.size(), ' '));
  TempFolder folder;
  write_file(folder / "QUARTZ.EXP", bytes);
  RunResult run = vortan(folder, {"--settings"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.out.find("The word \"RI\" of the control record \"  VRTN CDAT1\" is not one of"), std::string::npos)
      << run.out;
  run = vortan(folder, {"--set", "RIGB=N", "RING=N", "--settings"});
  ASSERT_EQ(run.exit_status, 0) << run.out;
  EXPECT_EQ(shown_value(run.out, "RING"), "N");
  EXPECT_EQ(shown_value(run.out, "HANG"), "120");
  EXPECT_EQ(without_controls(read_file(folder / "QUARTZ.EXP")), without_controls(bytes));
  const std::vector<std::string> records = control_records(read_file(folder / "QUARTZ.EXP"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::string(recio::trim_right(records[0])),
            "  VRTN CDAT1DMAX 3.2 DAGL 2.5 DFLT DFLT TORS NONE HANG 120 PLNS N RIGB N RING N");
}

TEST(NewcomerMessages, ACifBlocksAndMissingFilesAreExplained) {
  TempFolder folder;
  fs::copy_file(fs::path(EXAMPLES_DIR) / "ZNBPO.cif", folder / "ZNBPO.cif");
  // vortan given the CIF: what to run instead.
  RunResult run = run_program(VORTAN_BIN, {"ZNBPO.cif"}, folder.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("ZNBPO.cif is a CIF; vortan reads an experiment file (ZNBPO.CIF.EXP does not exist)"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("    cif2exp ZNBPO.cif\nthen run\n    vortan ZNBPO\n"), std::string::npos) << run.err;

  run = run_program(CIF2EXP_BIN, {"missing.cif"}, folder.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("missing.cif cannot be read: No such file or directory"), std::string::npos) << run.err;
  for (const char* block : {"data_X", "X"}) {
    run = run_program(CIF2EXP_BIN, {"ZNBPO.cif", "--block", block}, folder.path());
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_NE(run.err.find("ZNBPO.cif: no data block data_X; the file's blocks are:\n  data_6000026"),
              std::string::npos)
        << run.err;
  }
  // A bad setting is refused before the CIF is read; nothing is written.
  run = run_program(CIF2EXP_BIN, {"ZNBPO.cif", "--set", "TORS=SOME"}, folder.path());
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("The TORS value \"SOME\" of the control record \"  VRTN CDAT1\""), std::string::npos);
  EXPECT_FALSE(fs::exists(folder / "ZNBPO.EXP"));

  for (const char* block : {"data_6000026", "6000026", "DATA_6000026"}) {
    fs::remove(folder / "ZNBPO.EXP");
    run = run_program(CIF2EXP_BIN,
                      {"ZNBPO.cif", "--block", block, "--set", "TORS=NOH", "DMAX=3.1", "PLAN=Zn1 O1 O2 O3"},
                      folder.path());
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::vector<std::string> records = control_records(read_file(folder / "ZNBPO.EXP"));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(std::string(recio::trim_right(records[0])), "  VRTN CDAT1DMAX 3.1 DFLT DFLT DFLT TORS NOH PLAN Zn1 O1 O2 O3");
  }
  run = run_program(VORTAN_BIN, {"ZNBPO", "--settings"}, folder.path());
  EXPECT_EQ(shown_value(run.out, "PLAN"), "Zn1 O1 O2 O3") << run.out;
}

}  // namespace
