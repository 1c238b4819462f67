// SPDX-License-Identifier: Apache-2.0
// The master's pipe framing: send_msg and read_msg, their error numbers and
// the ownership of both blocks on every path (run under ASan for leaks).
#include <thread>

#include "tests/messaging/MasterSupport.h"

using namespace mastertest;

namespace {

class MasterPipeTest : public MasterTest {
 protected:
  Message Outgoing(uint32_t dataleng) {
    MsgHeader h{};
    h.desId = 4;
    h.type = MSG_ALIVE;
    h.dataleng = dataleng;
    h.id = 1;
    std::vector<uint8_t> data(dataleng);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i + 1);
    return MakeMessage(h, data);
  }
  void CloseWriterToMaster() {
    plat::CloseHandle(toMasterWrite);
    toMasterWrite = nullptr;
  }
};

TEST_F(MasterPipeTest, SendWritesHeaderThenDataAndReleasesBoth) {
  Message m = Outgoing(24);
  ASSERT_EQ(master->send_msg(m), 0);
  EXPECT_EQ(m.header, nullptr);
  EXPECT_EQ(m.data, nullptr);
  Message none = Outgoing(0);
  ASSERT_EQ(master->send_msg(none), 0);
  EXPECT_EQ(none.header, nullptr);

  std::vector<uint8_t> bytes = Written();
  ASSERT_EQ(bytes.size(), 40u + 24u + 40u);
  EXPECT_EQ(HeaderAt(bytes, 0).dataleng, 24u);
  for (size_t i = 0; i < 24; ++i) EXPECT_EQ(bytes[40 + i], i + 1);
  EXPECT_EQ(HeaderAt(bytes, 64).dataleng, 0u);
}

TEST_F(MasterPipeTest, SendIntoClosedPipeIs3050AndReleasesBoth) {
  plat::CloseHandle(toWriteRead);
  toWriteRead = nullptr;
  Message m = Outgoing(24);
  EXPECT_EQ(master->send_msg(m), -1);
  EXPECT_EQ(m.header, nullptr);
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(master->ErrNo, 3050);
  EXPECT_EQ(master->SysError, plat::kERROR_NO_DATA);
  EXPECT_EQ(
      CountLines(Lines(), "ERR: In CMaster write pipe. Local error:3050, system error:000000e8"),
      1);
}

TEST_F(MasterPipeTest, SendWithoutPipeFailsCleanly) {
  master->WritePipe = nullptr;
  Message m = Outgoing(4);
  EXPECT_EQ(master->send_msg(m), -1);
  EXPECT_EQ(m.header, nullptr);
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(master->ErrNo, 3050);
  EXPECT_EQ(master->SysError, plat::kERROR_INVALID_HANDLE);
}

TEST_F(MasterPipeTest, DataWriteFailureIs3070) {
  // A pipe that holds exactly one header: the data write waits until the
  // reader goes away.
  plat::HANDLE r = nullptr, w = nullptr;
  ASSERT_TRUE(plat::CreatePipe(&r, &w, nullptr, 40));
  master->WritePipe = &w;
  std::thread closer([r] {
    plat::Sleep(200);
    plat::CloseHandle(r);
  });
  Message m = Outgoing(24);
  EXPECT_EQ(master->send_msg(m), -1);
  closer.join();
  plat::CloseHandle(w);
  EXPECT_EQ(m.header, nullptr);
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(master->ErrNo, 3070);
  EXPECT_EQ(
      CountLines(Lines(), "ERR: In CMaster write pipe. Local error:3070, system error:000000e8"),
      1);
}

TEST_F(MasterPipeTest, ReadTakesHeaderAndExactlyDatalengBytes) {
  MsgHeader h = IncomingHeader(MSG_ALIVE, 4, 28, Addr("10.1.2.3"));
  std::vector<uint8_t> data = CoorAlivePayload(CoorAlive{});
  Deliver(h, data);
  MsgHeader none = IncomingHeader(0x777, 4, 0, Addr("10.1.2.3"));
  Deliver(none, {});

  Message m;
  ASSERT_EQ(master->read_msg(m), 0);
  ASSERT_NE(m.header, nullptr);
  ASSERT_NE(m.data, nullptr);
  EXPECT_EQ(std::memcmp(m.header, &h, sizeof(h)), 0);
  EXPECT_EQ(std::memcmp(m.data, data.data(), data.size()), 0);
  std::free(m.header);
  std::free(m.data);

  Message z;
  ASSERT_EQ(master->read_msg(z), 0);
  ASSERT_NE(z.header, nullptr);
  EXPECT_EQ(z.header->type, 0x777u);
  EXPECT_EQ(z.data, nullptr) << "dataleng 0 has no data block";
  std::free(z.header);
}

TEST_F(MasterPipeTest, ReadFromClosedPipeIs3010) {
  CloseWriterToMaster();
  Message m;
  EXPECT_EQ(master->read_msg(m), -1);
  EXPECT_EQ(m.header, nullptr);
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(master->ErrNo, 3010);
  EXPECT_EQ(master->SysError, plat::kERROR_BROKEN_PIPE);
  EXPECT_EQ(
      CountLines(Lines(), "ERR: In CMaster read pipe. Local error:3010, system error:0000006d"), 1);
}

TEST_F(MasterPipeTest, ShortHeaderIs3020) {
  char part[10] = {};
  WriteAll(toMasterWrite, part, sizeof(part));
  CloseWriterToMaster();
  Message m;
  EXPECT_EQ(master->read_msg(m), -1);
  EXPECT_EQ(m.header, nullptr);
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(master->ErrNo, 3020);
  auto lines = Lines();
  int err = FindLine(lines, "DEBUG: In CMaster read pipe. Should read:40, but read:10");
  ASSERT_GE(err, 1);
  EXPECT_EQ(lines[err - 1].rfind("ERR: In CMaster read pipe. Local error:3020, system error:", 0),
            0u);
}

TEST_F(MasterPipeTest, MissingDataIs3030AndShortDataIs3040) {
  MsgHeader h = IncomingHeader(MSG_ALIVE, 4, 28, Addr("10.1.2.3"));
  Deliver(h, {});
  CloseWriterToMaster();
  Message m;
  EXPECT_EQ(master->read_msg(m), -1);
  EXPECT_EQ(m.header, nullptr);
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(master->ErrNo, 3030);
  EXPECT_EQ(
      CountLines(Lines(), "ERR: In CMaster read pipe. Local error:3030, system error:0000006d"), 1);

  plat::CloseHandle(toMasterRead);
  ASSERT_TRUE(plat::CreatePipe(&toMasterRead, &toMasterWrite, nullptr, 0));
  Deliver(h, std::vector<uint8_t>(10, 1));
  CloseWriterToMaster();
  EXPECT_EQ(master->read_msg(m), -1);
  EXPECT_EQ(m.header, nullptr);
  EXPECT_EQ(m.data, nullptr);
  EXPECT_EQ(master->ErrNo, 3040);
  EXPECT_EQ(CountLines(Lines(), "DEBUG: In CMaster read pipe. Should read:28, but read:10"), 1);
}

TEST_F(MasterPipeTest, EveryEnterHasItsLeaveOnEachPath) {
  Message ok = Outgoing(4);
  master->send_msg(ok);
  CloseWriterToMaster();
  Message m;
  master->read_msg(m);  // fails
  plat::CloseHandle(toWriteRead);
  toWriteRead = nullptr;
  Message bad = Outgoing(4);
  master->send_msg(bad);  // fails

  auto lines = Lines();
  for (const char* op : {"CMaster::send_msg", "CMaster::read_msg"}) {
    std::string enter = std::string("DEBUG: Enter: ") + op + "(), ";
    std::string leave = std::string("DEBUG: Leave: ") + op + "(), ";
    EXPECT_EQ(CountPrefix(lines, enter), CountPrefix(lines, leave)) << op;
    EXPECT_GT(CountPrefix(lines, leave), 0) << op;
  }
  // The source file as the compiler names it: a build may shorten the path
  // (Debian's -ffile-prefix-map, a compiler cache's base folder).
  for (const auto& l : lines) {
    if (l.rfind("DEBUG: Enter: CMaster::", 0) == 0 || l.rfind("DEBUG: Leave: CMaster::", 0) == 0) {
      EXPECT_NE(l.find("messaging/Master.cpp Line "), std::string::npos) << l;
    }
  }
  // The two send_msg outcomes leave from different lines.
  std::vector<std::string> leaves;
  for (const auto& l : lines)
    if (l.rfind("DEBUG: Leave: CMaster::send_msg(), ", 0) == 0) leaves.push_back(l);
  ASSERT_EQ(leaves.size(), 2u);
  EXPECT_NE(leaves[0], leaves[1]);
}

}  // namespace
