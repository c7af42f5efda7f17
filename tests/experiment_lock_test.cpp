// One vortan run per experiment: a second run, a real process, stops at once
// while the lock is held, touching none of the experiment's files (not even
// the listing), and runs once it is released, also when the holder left its
// lock file behind.
#include "expfile/experiment_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/run_program.hpp"

namespace {

using testing_support::read_file;
using testing_support::run_program;
using testing_support::TempFolder;
using testing_support::write_file;

// Every file of the folder with its content.
std::map<std::string, std::string> folder_files(const std::filesystem::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    files[entry.path().filename().string()] = read_file(entry.path());
  return files;
}

TEST(ExperimentLock, ASecondRunStopsWhileTheFirstHoldsTheExperiment) {
  TempFolder folder;
  std::filesystem::copy_file(EXAMPLES_DIR "/QUARTZ.EXP", folder / "QUARTZ.EXP");
  write_file(folder / "QUARTZ.VORTAN", "       12         0.22000E-01\n99999\n");
  const std::string lock = vesk::lock_file_name((folder / "QUARTZ").string());
  // This process stands for the first run.
  const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  const std::string pid = std::to_string(::getpid());
  const std::string line = pid + " cif2exp\n";
  ASSERT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  const auto before = folder_files(folder.path());
  const auto second = run_program(VORTAN_BIN, {"QUARTZ"}, folder.path());
  EXPECT_EQ(second.exit_status, 1);
  EXPECT_NE(second.out.find(" *** ERROR - The experiment QUARTZ is in use by cif2exp (process " + pid +
                            "); try again when it has ended"),
            std::string::npos)
      << second.out << second.err;
  // The refused run touches no file of the experiment: it creates no listing...
  EXPECT_EQ(folder_files(folder.path()), before);
  EXPECT_FALSE(std::filesystem::exists(folder / "QUARTZ.LST"));
  // ...and leaves the one the first run is writing as it stands.
  write_file(folder / "QUARTZ.LST", "1 the first run's listing, a page in the making\n");
  const auto with_listing = folder_files(folder.path());
  EXPECT_EQ(run_program(VORTAN_BIN, {"QUARTZ"}, folder.path()).exit_status, 1);
  EXPECT_EQ(folder_files(folder.path()), with_listing);
  // Released as the kernel does for a process that ends, killed or not; the
  // file left behind holds nothing back.
  ::close(fd);
  const auto third = run_program(VORTAN_BIN, {"QUARTZ"}, folder.path());
  EXPECT_EQ(third.exit_status, 0) << third.out << third.err;
  EXPECT_GT(read_file(folder / "QUARTZ.VORTAN").size(), 1000u);
  EXPECT_FALSE(std::filesystem::exists(lock));
}

}  // namespace
