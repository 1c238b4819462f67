// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "platform/testing.h"
#include "tests/support/LogSupport.h"
#include "tests/support/TestSupport.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// Points the process-wide log at a fresh directory and collects event reports.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_log.LogControl = 3;
    g_log.LogRefreshInterval = 2;
    g_log.LogMaxSpace = 10;
    g_log.LastBackupTime = plat::TimeNow();
    plat::SetEventSinkForTest([this](const plat::EventRecord& r) { events.push_back(r); });
  }
  void TearDown() override {
    plat::SetEventSinkForTest(nullptr);
    g_log.LogLevel = 3;
  }
  std::string path() const { return dir.file("keld4.log"); }
  std::vector<std::string> Lines(const std::string& file) const {
    std::vector<std::string> lines;
    std::string text = ReadFile(file);
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) {
        lines.push_back(text.substr(start));  // a torn last line shows up here
        break;
      }
      lines.push_back(text.substr(start, end - start));
      start = end + 2;
    }
    return lines;
  }

  TempDir dir;
  testsupport::LogCapture capture{dir.path(), 15};
  std::vector<plat::EventRecord> events;
};

}  // namespace

TEST_F(LogTest, LineHasTimestampLevelNameMessageAndCrLf) {
  EXPECT_EQ(g_log.WriteLog(INFO, "KELD4 service %s", "started"), 0);
  EXPECT_EQ(g_log.WriteLog(ERR, "e"), 0);
  EXPECT_EQ(g_log.WriteLog(WARN, "w"), 0);
  EXPECT_EQ(g_log.WriteLog(DEBUG, "d"), 0);
  EXPECT_EQ(g_log.WriteLog(3, "both bits"), 0);
  std::string text = ReadFile(path());
  std::regex line(R"(\d{4}\.\d{2}\.\d{2}-\d{2}:\d{2}:\d{2} INFO: KELD4 service started\r\n)"
                  R"(\d{4}\.\d{2}\.\d{2}-\d{2}:\d{2}:\d{2} ERR: e\r\n)"
                  R"(\d{4}\.\d{2}\.\d{2}-\d{2}:\d{2}:\d{2} WARN: w\r\n)"
                  R"(\d{4}\.\d{2}\.\d{2}-\d{2}:\d{2}:\d{2} DEBUG: d\r\n)"
                  R"(\d{4}\.\d{2}\.\d{2}-\d{2}:\d{2}:\d{2} invalid level: both bits\r\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(LogTest, DisabledLevelsWriteNothingAndMaskZeroSilencesFailuresToo) {
  g_log.LogLevel = 3;
  g_log.WriteLog(DEBUG, "hidden");
  g_log.WriteLog(WARN, "hidden");
  EXPECT_FALSE(testsupport::FileExists(path()));
  g_log.LogLevel = 0;
  std::snprintf(g_log.LogDirectory, sizeof(g_log.LogDirectory), "%s", dir.file("missing").c_str());
  EXPECT_EQ(g_log.WriteLog(ERR, "nowhere"), 0);
  EXPECT_TRUE(events.empty());
}

TEST_F(LogTest, LongMessagesAreCutAfter1024Characters) {
  std::string longText(1500, 'x');
  g_log.WriteLog(INFO, "%s", longText.c_str());
  auto lines = Lines(path());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(26), std::string(1024, 'x'));
  EXPECT_EQ(ReadFile(path()).substr(ReadFile(path()).size() - 2), "\r\n");
}

TEST_F(LogTest, TraceRecordsNameFunctionFileAndLine) {
  KELD_TRACE_ENTER("CMaster::process_msg");
  int line = __LINE__ - 1;
  auto lines = Lines(path());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].substr(20), "DEBUG: Enter: CMaster::process_msg(), " + std::string(__FILE__) +
                                     " Line " + std::to_string(line));
}

// Someone viewing the log, holding it open to read as a viewer or a tail
// does, costs no line.
TEST_F(LogTest, LinesAreWrittenWhileSomeoneHoldsTheLogOpenToRead) {
  ASSERT_EQ(g_log.WriteLog(INFO, "first"), 0);
  plat::HANDLE viewer = plat::CreateFileA(
      path().c_str(), plat::kGENERIC_READ, plat::kFILE_SHARE_READ | plat::kFILE_SHARE_WRITE,
      nullptr, plat::kOPEN_EXISTING, plat::kFILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(viewer, plat::kINVALID_HANDLE_VALUE);
  EXPECT_EQ(g_log.WriteLog(INFO, "second"), 0);
  plat::CloseHandle(viewer);
  EXPECT_TRUE(events.empty());
  auto lines = Lines(path());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(" INFO: second"), std::string::npos) << lines[1];
}

TEST_F(LogTest, OpenFailureIsReportedToTheEventLog) {
  if (testsupport::UnderWine()) GTEST_SKIP() << "Wine words system messages its own way";
  std::snprintf(g_log.LogDirectory, sizeof(g_log.LogDirectory), "%s", dir.file("missing").c_str());
  EXPECT_EQ(g_log.WriteLog(INFO, "lost line"), -1);
  EXPECT_EQ(g_log.ErrNo, 1004u);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].source, "keld4");
  EXPECT_EQ(events[0].type, plat::kEVENTLOG_ERROR_TYPE);
  EXPECT_EQ(events[0].eventId, 0xC0020001u);
  // A missing folder is "path not found", as Windows says it.
  EXPECT_EQ(events[0].text,
            "keld4:ERR:Open log file error, syserror=00000003: The system cannot find the path "
            "specified.,errno=1004, "
            "Msg= lost line");
  // The status check reports it too, rather than answering "no file".
  EXPECT_EQ(g_log.GetLogStatus(), -1);
  EXPECT_EQ(g_log.ErrNo, 1008u);
  EXPECT_EQ(g_log.SysError, 3u);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(
      events[1].text.rfind("keld4:ERR:Get log status open log file error, syserror=00000003:", 0),
      0u)
      << events[1].text;
}

// In a folder others can write, a planted link must not make the agent write
// any other file: the log and its backup are never used through a link.
TEST_F(LogTest, SymbolicLinkAtTheLogPathIsNeverWrittenThrough) {
  std::string victim = dir.file("victim");
  testsupport::WriteFile(victim, "precious");
  std::error_code linked;
  std::filesystem::create_symlink(victim, path(), linked);
  // Windows gives symbolic links only to holders of a privilege; Wine 8 makes none.
  if (linked) GTEST_SKIP() << "no symbolic link can be made here: " << linked.message();
  EXPECT_EQ(g_log.WriteLog(INFO, "through the link"), -1);
  EXPECT_EQ(g_log.ErrNo, 1004u);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text.rfind("keld4:ERR:Open log file error, syserror=00000781:", 0), 0u)
      << events[0].text;
  EXPECT_EQ(g_log.GetLogStatus(), -1);
  EXPECT_EQ(g_log.ErrNo, 1008u);
  EXPECT_EQ(g_log.BackupLogFile(), -1);
  EXPECT_EQ(g_log.ErrNo, 1011u);
  // A link to a file that does not exist yet is not created through either.
  std::string absent = dir.file("created-through-link");
  ASSERT_TRUE(std::filesystem::remove(path()));
  std::filesystem::create_symlink(absent, path());
  EXPECT_EQ(g_log.WriteLog(INFO, "through the link"), -1);
  EXPECT_EQ(ReadFile(victim), "precious");
  EXPECT_FALSE(testsupport::FileExists(absent));
  EXPECT_FALSE(testsupport::FileExists(path() + ".bak"));
}

// With the size rule on, the file stays under twice the limit however long
// the periodic check is off: past that it is backed up at once.
TEST_F(LogTest, SizeRuleKeepsTheFileUnderTwiceTheLimitWithoutAnyCheck) {
  g_log.LogMaxSpace = 1;
  std::string text(1000, 'd');
  for (int i = 0; i < 2100; ++i) g_log.WriteLog(DEBUG, "%s", text.c_str());
  auto live = std::filesystem::file_size(path());
  auto bak = std::filesystem::file_size(path() + ".bak");
  EXPECT_LE(live, 2000000u);
  EXPECT_LE(bak, 2000000u);
  EXPECT_GT(bak, 2000000u - 1100);
  // No line is lost or torn by the backups.
  EXPECT_EQ(Lines(path()).size() + Lines(path() + ".bak").size(), 2100u);
  EXPECT_TRUE(events.empty());
  // With the size rule off the file grows as before.
  g_log.LogControl = 1;
  for (int i = 0; i < 2000; ++i) g_log.WriteLog(DEBUG, "%s", text.c_str());
  EXPECT_GT(std::filesystem::file_size(path()), 2000000u);
}

TEST_F(LogTest, ManyThreadsGiveWholeLinesAndLoseNone) {
  constexpr int kThreads = 8, kLines = 500;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      for (int i = 0; i < kLines; ++i)
        g_log.WriteLog(INFO, "thread %d line %d %s", t, i, std::string(100, 'a' + t).c_str());
    });
  }
  for (auto& w : writers) w.join();
  auto lines = Lines(path());
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  std::regex shape(
      R"(\d{4}\.\d{2}\.\d{2}-\d{2}:\d{2}:\d{2} INFO: thread (\d) line (\d+) ([a-h])\3{99})");
  std::vector<int> next(kThreads, 0);
  for (const auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, shape)) << l;
    int t = std::stoi(m[1]);
    EXPECT_EQ(m[3].str()[0], 'a' + t);
    EXPECT_EQ(std::stoi(m[2]), next[t]++);  // each thread's lines in order
  }
}

TEST_F(LogTest, StatusBySizeAgeAndControl) {
  // No file: not due, no report.
  EXPECT_EQ(g_log.GetLogStatus(), 0);
  EXPECT_TRUE(events.empty());
  testsupport::WriteFile(path(), std::string(10000000, 'x'));
  g_log.LogControl = 2;
  EXPECT_EQ(g_log.GetLogStatus(), 0);  // exactly the limit is not due
  testsupport::WriteFile(path(), std::string(10000001, 'x'));
  EXPECT_EQ(g_log.GetLogStatus(), 1);
  g_log.LogControl = 0;
  EXPECT_EQ(g_log.GetLogStatus(), 0);
  g_log.LogControl = 1;
  EXPECT_EQ(g_log.GetLogStatus(), 0);
  g_log.LastBackupTime = plat::TimeNow() - 172800;  // exactly two days: not yet
  EXPECT_EQ(g_log.GetLogStatus(), 0);
  g_log.LastBackupTime = plat::TimeNow() - 172802;
  EXPECT_EQ(g_log.GetLogStatus(), 1);
  g_log.LogControl = 3;
  EXPECT_EQ(g_log.GetLogStatus(), 1);
  g_log.LastBackupTime = plat::TimeNow();
  EXPECT_EQ(g_log.GetLogStatus(), 1);  // still too big
  g_log.LogMaxSpace = 4295;            // wraps the 32-bit limit round to 32,704 bytes
  testsupport::WriteFile(path(), std::string(40000, 'x') + "\r\n");
  EXPECT_EQ(g_log.GetLogStatus(), 1);
  g_log.LogMaxSpace = 10;
  EXPECT_EQ(g_log.GetLogStatus(), 0);
  g_log.LogControl = 5;
  EXPECT_EQ(g_log.GetLogStatus(), -1);
  EXPECT_EQ(g_log.ErrNo, 1010u);
  auto lines = Lines(path());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back().substr(20), "WARN: The log control value in register error,errno=1010");
}

TEST_F(LogTest, BackupKeepsOneGenerationAndAFailedRenameAsksAgain) {
  g_log.WriteLog(INFO, "first");
  ASSERT_EQ(g_log.BackupLogFile(), 0);
  EXPECT_NE(ReadFile(path() + ".bak").find("INFO: first"), std::string::npos);
  EXPECT_NE(ReadFile(path() + ".bak").find("DEBUG: Enter BackupLogFile function."),
            std::string::npos);
  EXPECT_EQ(Lines(path())[0].substr(20), "DEBUG: Leave BackupLogFile function.");
  g_log.WriteLog(INFO, "second");
  ASSERT_EQ(g_log.BackupLogFile(), 0);
  std::string bak = ReadFile(path() + ".bak");
  EXPECT_EQ(bak.find("INFO: first"), std::string::npos);
  EXPECT_NE(bak.find("INFO: second"), std::string::npos);

  // A backup that cannot be renamed over (a non-empty folder in its place).
  ASSERT_TRUE(std::filesystem::remove(path() + ".bak"));
  ASSERT_TRUE(std::filesystem::create_directory(path() + ".bak"));
  testsupport::WriteFile(path() + ".bak/keep", "x");
  testsupport::WriteFile(path(), std::string(10000001, 'y'));
  g_log.LogControl = 2;
  int64_t before = g_log.LastBackupTime;
  EXPECT_EQ(g_log.GetLogStatus(), 1);
  EXPECT_EQ(g_log.BackupLogFile(), -1);
  EXPECT_EQ(g_log.ErrNo, 1011u);
  EXPECT_EQ(g_log.LastBackupTime, before);
  EXPECT_TRUE(testsupport::FileExists(path()));
  EXPECT_EQ(g_log.GetLogStatus(), 1);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().text.rfind("keld4:ERR:Backup log error,syserror=", 0), 0u)
      << events.back().text;
}

TEST_F(LogTest, BackupUnderConcurrentWritersLosesNoLine) {
  constexpr int kThreads = 4, kLines = 1500;
  g_log.LogLevel = 3;  // no DEBUG lines of the backup itself
  std::vector<std::thread> writers;
  std::atomic<int> finished{0};
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t, &finished] {
      for (int i = 0; i < kLines; ++i) g_log.WriteLog(INFO, "w%d %d", t, i);
      ++finished;
    });
  }
  // Waits on the size, so that the backup falls amid the writers; writers
  // that end early (their lines lost) end the wait too, and the count below
  // tells.
  constexpr uintmax_t kLineBytes = 32;  // the shortest line here
  std::error_code error;
  while ((std::filesystem::file_size(path(), error) < 1000 * kLineBytes || error) &&
         finished < kThreads) {
    std::this_thread::yield();
  }
  int backup = g_log.BackupLogFile();
  for (auto& w : writers) w.join();
  ASSERT_EQ(backup, 0);
  size_t total = Lines(path()).size() + Lines(path() + ".bak").size();
  EXPECT_EQ(total, static_cast<size_t>(kThreads * kLines));
  EXPECT_GT(Lines(path()).size(), 0u);
}
