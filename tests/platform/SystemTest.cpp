// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/TestSupport.h"

using namespace plat;

TEST(Time, CalendarConversionsRoundTripWithTheRightWeekday) {
  SYSTEMTIME st{};
  st.wYear = 2026;
  st.wMonth = 12;
  st.wDay = 8;
  st.wHour = 21;
  st.wMinute = 16;
  st.wSecond = 17;
  st.wMilliseconds = 345;
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  SYSTEMTIME back{};
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
  EXPECT_EQ(back.wYear, 2026);
  EXPECT_EQ(back.wMonth, 12);
  EXPECT_EQ(back.wDay, 8);
  EXPECT_EQ(back.wDayOfWeek, 2);  // a Tuesday
  EXPECT_EQ(back.wHour, 21);
  EXPECT_EQ(back.wMinute, 16);
  EXPECT_EQ(back.wSecond, 17);
  EXPECT_EQ(back.wMilliseconds, 345);
  // 2024-02-29 exists; 1601-01-01 is day 0, a Monday.
  st = SYSTEMTIME{};
  st.wYear = 2024;
  st.wMonth = 2;
  st.wDay = 29;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
  EXPECT_EQ(back.wMonth, 2);
  EXPECT_EQ(back.wDay, 29);
  FILETIME zero{};
  ASSERT_TRUE(FileTimeToSystemTime(&zero, &back));
  EXPECT_EQ(back.wYear, 1601);
  EXPECT_EQ(back.wDayOfWeek, 1);
  FILETIME later = ft;
  later.dwLowDateTime += 1;
  EXPECT_EQ(CompareFileTime(&ft, &later), -1);
  EXPECT_EQ(CompareFileTime(&later, &ft), 1);
  EXPECT_EQ(CompareFileTime(&ft, &ft), 0);
}

TEST(Time, TestClockDrivesLocalTime) {
  SYSTEMTIME st{};
  st.wYear = 2030;
  st.wMonth = 1;
  st.wDay = 2;
  st.wHour = 3;
  FILETIME ft;
  ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
  ULONGLONG units = (ULONGLONG(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  SetLocalClockForTest([units] { return units; });
  SYSTEMTIME now{};
  GetLocalTime(&now);
  SetLocalClockForTest(nullptr);
  EXPECT_EQ(now.wYear, 2030);
  EXPECT_EQ(now.wHour, 3);
}

TEST(SystemText, KnownNumbersHaveWindowsTexts) {
  if (testsupport::UnderWine()) GTEST_SKIP() << "Wine words system messages its own way";
  char text[256];
  EXPECT_GT(FormatSystemMessage(kERROR_FILE_NOT_FOUND, text, sizeof(text)), 0u);
  EXPECT_STREQ(text, "The system cannot find the file specified.\r\n");
  EXPECT_EQ(FormatSystemMessage(0x12345678, text, sizeof(text)), 0u);
  EXPECT_STREQ(text, "");
}

TEST(Files, MissingFilesAnswerFileNotFoundAndMovesReplace) {
  testsupport::TempDir dir;
  EXPECT_EQ(CreateFileA(dir.file("none").c_str(), kGENERIC_WRITE, kFILE_SHARE_WRITE, nullptr,
                        kOPEN_EXISTING, 0, nullptr),
            kINVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), kERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(
      MoveFileExA(dir.file("none").c_str(), dir.file("other").c_str(), kMOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), kERROR_FILE_NOT_FOUND);

  testsupport::WriteFile(dir.file("a"), "first");
  testsupport::WriteFile(dir.file("b"), "second");
  EXPECT_FALSE(MoveFileExA(dir.file("a").c_str(), dir.file("b").c_str(), 0));
  EXPECT_EQ(GetLastError(), kERROR_ALREADY_EXISTS);
  EXPECT_TRUE(MoveFileExA(dir.file("a").c_str(), dir.file("b").c_str(),
                          kMOVEFILE_REPLACE_EXISTING | kMOVEFILE_WRITE_THROUGH));
  EXPECT_EQ(testsupport::ReadFile(dir.file("b")), "first");
  EXPECT_TRUE(
      MoveFileExA(dir.file("b").c_str(), dir.file("b").c_str(), kMOVEFILE_REPLACE_EXISTING));
  EXPECT_FALSE(MoveFileExA(dir.file("b").c_str(), dir.file("no/such/dir").c_str(),
                           kMOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), kERROR_PATH_NOT_FOUND);

  HANDLE f = CreateFileA(dir.file("b").c_str(), kGENERIC_WRITE, kFILE_SHARE_WRITE, nullptr,
                         kOPEN_ALWAYS, 0, nullptr);
  ASSERT_NE(f, kINVALID_HANDLE_VALUE);
  EXPECT_EQ(SetFilePointer(f, 0, nullptr, kFILE_END), 5u);
  DWORD n = 0;
  EXPECT_TRUE(WriteFile(f, "++", 2, &n, nullptr));
  EXPECT_EQ(GetFileSize(f, nullptr), 7u);
  CloseHandle(f);
  EXPECT_EQ(testsupport::ReadFile(dir.file("b")), "first++");
}

TEST(EventLog, ReportsReachTheSinkWithTypeAndIdentifier) {
  std::vector<EventRecord> seen;
  SetEventSinkForTest([&](const EventRecord& r) { seen.push_back(r); });
  HANDLE source = RegisterEventSourceA(nullptr, "keld4");
  ASSERT_NE(source, nullptr);
  const char* strings[1] = {"KELD4 service started"};
  EXPECT_TRUE(ReportEventA(source, kEVENTLOG_INFORMATION_TYPE, 0, 0x40000003, nullptr, 1, 0,
                           strings, nullptr));
  EXPECT_TRUE(DeregisterEventSource(source));
  SetEventSinkForTest(nullptr);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].source, "keld4");
  EXPECT_EQ(seen[0].type, kEVENTLOG_INFORMATION_TYPE);
  EXPECT_EQ(seen[0].eventId, 0x40000003u);
  EXPECT_EQ(seen[0].text, "KELD4 service started");
}

TEST(Process, PeakWorkingSetIsThePeakResidentSet) {
  HANDLE p =
      OpenProcess(kPROCESS_QUERY_INFORMATION | kPROCESS_VM_READ, kFALSE, GetCurrentProcessId());
  ASSERT_NE(p, nullptr);
  PROCESS_MEMORY_COUNTERS pmc{};
  ASSERT_TRUE(GetProcessMemoryInfo(p, &pmc, sizeof(pmc)));
  EXPECT_GT(pmc.PeakWorkingSetSize, 100000u);
  EXPECT_GE(pmc.PeakWorkingSetSize, pmc.WorkingSetSize);
  SetProcessMemorySourceForTest([](size_t* peak, DWORD*) {
    *peak = 12345;
    return true;
  });
  ASSERT_TRUE(GetProcessMemoryInfo(p, &pmc, sizeof(pmc)));
  EXPECT_EQ(pmc.PeakWorkingSetSize, 12345u);
  SetProcessMemorySourceForTest([](size_t*, DWORD* error) {
    *error = kERROR_ACCESS_DENIED;
    return false;
  });
  EXPECT_FALSE(GetProcessMemoryInfo(p, &pmc, sizeof(pmc)));
  EXPECT_EQ(GetLastError(), kERROR_ACCESS_DENIED);
  SetProcessMemorySourceForTest(nullptr);
  CloseHandle(p);
}
