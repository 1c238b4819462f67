// SPDX-License-Identifier: Apache-2.0
// GetCPUInfo and AreIPChanged: processor data and the configured address
// against the host's interfaces.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/testing.h"
#include "tests/config/ConfigSupport.h"

namespace {

using plat::DWORD;
using plat::InterfaceEntry;

DWORD Addr(const char* dotted) { return plat::inet_addr(dotted); }

InterfaceEntry Adapter(DWORD index, const std::string& description, bool loopback,
                       const std::vector<std::pair<const char*, const char*>>& addresses) {
  InterfaceEntry e{index, description, loopback, {}};
  for (const auto& [addr, mask] : addresses) e.addresses.emplace_back(Addr(addr), Addr(mask));
  return e;
}

class HostIdentityTest : public ConfigTest {
 protected:
  void Interfaces(std::vector<InterfaceEntry> table) {
    plat::SetInterfaceSourceForTest([table] { return table; });
  }
  int Check(const std::string& configured) {
    SetText("Parameter", "LocalIPAddress", configured);
    return config_.AreIPChanged();
  }
  CKELD3Register config_;
};

TEST_F(HostIdentityTest, ProcessorSpeedsAddUp) {
  plat::SetProcessorSourceForTest([] { return std::vector<int64_t>{2400, 2400, 2400, 2400}; });
  g_log.LogLevel = 15;
  EXPECT_EQ(config_.GetCPUInfo(), 0);
  EXPECT_EQ(config_.m_CpuInfo.Count, 4u);
  EXPECT_EQ(config_.m_CpuInfo.TotalMHz, 9600u);
  EXPECT_EQ(config_.m_hKey, nullptr);
  EXPECT_TRUE(LogHas("DEBUG: m_CpuInfo.CPUFrequency [3] is:00000960\r\n")) << Log();
  EXPECT_TRUE(LogHas("Leave: CKELD3Register::GetCPUInfo()")) << Log();

  plat::SetProcessorSourceForTest([] { return std::vector<int64_t>{}; });
  EXPECT_EQ(config_.GetCPUInfo(), 0);
  EXPECT_EQ(config_.m_CpuInfo.Count, 0u);
  EXPECT_EQ(config_.m_CpuInfo.TotalMHz, 0u);
}

TEST_F(HostIdentityTest, AProcessorWithoutSpeedFailsTheCheck) {
  plat::SetProcessorSourceForTest([] { return std::vector<int64_t>{3000, -1, 2000}; });
  EXPECT_EQ(config_.GetCPUInfo(), -1);
  EXPECT_EQ(config_.m_CpuInfo.Count, 3u);
  EXPECT_EQ(config_.m_CpuInfo.TotalMHz, 3000u);  // the ones read so far
  EXPECT_EQ(config_.SysError, 2u);
  EXPECT_EQ(config_.m_hKey, nullptr);
  EXPECT_TRUE(LogHas("ERR: Get cpu frequency QueryValue error, syserror=00000002\r\n")) << Log();
}

TEST_F(HostIdentityTest, AddressOnAnAdapterGivesItsBroadcast) {
  Interfaces({Adapter(1, "MS TCP Loopback interface", true, {{"127.0.0.1", "255.0.0.0"}}),
              Adapter(2, "eth0", false,
                      {{"10.1.1.1", "255.255.0.0"}, {"192.168.1.10", "255.255.255.0"}})});
  EXPECT_EQ(Check("192.168.1.10"), 0);
  EXPECT_EQ(config_.BroadcastAddr, Addr("192.168.1.255"));
  EXPECT_STREQ(config_.LocalIPAddress, "192.168.1.10");
  EXPECT_EQ(config_.m_hKey, nullptr);
  EXPECT_EQ(Check("10.1.1.1"), 0);
  EXPECT_EQ(config_.BroadcastAddr, Addr("10.1.255.255"));
  EXPECT_EQ(Check("10.1.1.2"), 1);
  EXPECT_FALSE(LogHas("ERR:")) << Log();
}

TEST_F(HostIdentityTest, LeadingZerosNeverMatch) {
  Interfaces({Adapter(2, "eth0", false, {{"10.0.0.1", "255.0.0.0"}})});
  EXPECT_EQ(Check("010.000.000.001"), 1);
  EXPECT_EQ(Check("10.0.0.1"), 0);
}

TEST_F(HostIdentityTest, LoopbackAdaptersAreSkipped) {
  for (const char* description :
       {"MS LoopBack Driver", "Microsoft Loopback Adapter", "MS TCP Loopback interface"}) {
    Interfaces({Adapter(1, "eth0", false, {{"10.0.0.5", "255.255.255.0"}}),
                Adapter(7, description, false, {{"10.9.9.9", "255.255.255.0"}})});
    EXPECT_EQ(Check("10.9.9.9"), 1) << description;
  }
  // Compared exactly: another spelling is an ordinary adapter.
  Interfaces({Adapter(7, "Microsoft loopback adapter", false, {{"10.9.9.9", "255.255.255.0"}})});
  EXPECT_EQ(Check("10.9.9.9"), 0);
  // The same address on a loopback and on a real adapter is found on the real one.
  Interfaces({Adapter(1, "MS TCP Loopback interface", true, {{"10.9.9.9", "255.0.0.0"}}),
              Adapter(2, "eth1", false, {{"10.9.9.9", "255.255.255.252"}})});
  EXPECT_EQ(Check("10.9.9.9"), 0);
  EXPECT_EQ(config_.BroadcastAddr, Addr("10.9.9.11"));
}

TEST_F(HostIdentityTest, TheHostsLoopbackAddressAnswersNotFound) {
  EXPECT_EQ(Check("127.0.0.1"), 1);
}

// The host's own list: its loopback interface is listed as one, carrying
// 127.0.0.1, within the interface count, with the records and their address
// strings inside the caller's buffer and the size rules kept.
TEST_F(HostIdentityTest, TheHostsAdapterListNamesItsLoopback) {
  plat::ULONG needed = 0;
  ASSERT_EQ(plat::GetAdaptersInfo(nullptr, &needed), plat::kERROR_BUFFER_OVERFLOW);
  ASSERT_GE(needed, sizeof(plat::IP_ADAPTER_INFO));
  plat::ULONG size = needed - 1;
  std::vector<uint64_t> list(needed / sizeof(uint64_t) + 1);
  auto* adapters = reinterpret_cast<plat::IP_ADAPTER_INFO*>(list.data());
  EXPECT_EQ(plat::GetAdaptersInfo(adapters, &size), plat::kERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, needed);
  ASSERT_EQ(plat::GetAdaptersInfo(adapters, &size), plat::kERROR_SUCCESS);

  const char* begin = reinterpret_cast<const char*>(list.data());
  auto inside = [&](const void* p) {
    const char* c = static_cast<const char*>(p);
    return c >= begin && c < begin + needed;
  };
  DWORD records = 0;
  int loopbacksWithAddress = 0;
  for (const plat::IP_ADAPTER_INFO* a = adapters; a != nullptr && records < 1000;
       a = a->Next, ++records) {
    ASSERT_TRUE(inside(a)) << records;
    bool loopback = std::string(a->Description) == "MS TCP Loopback interface";
    for (const plat::IP_ADDR_STRING* s = &a->IpAddressList; s != nullptr; s = s->Next) {
      ASSERT_TRUE(inside(s)) << a->Description;
      if (loopback && std::string(s->IpAddress) == "127.0.0.1") ++loopbacksWithAddress;
    }
  }
  EXPECT_EQ(loopbacksWithAddress, 1);
  DWORD interfaces = 0;
  ASSERT_EQ(plat::GetNumberOfInterfaces(&interfaces), plat::kERROR_SUCCESS);
  EXPECT_GE(interfaces, records);
}

TEST_F(HostIdentityTest, ManyAdaptersAndAddressesStillWork) {
  // More records than the first buffers hold (20 adapters, 116 addresses).
  std::vector<InterfaceEntry> table;
  for (DWORD i = 1; i <= 30; ++i) {
    std::string ip = "10.0." + std::to_string(i) + ".1";
    table.push_back(i <= 25 ? Adapter(i, "Microsoft Loopback Adapter", false, {})
                            : Adapter(i, "eth" + std::to_string(i), false, {}));
    table.back().addresses.emplace_back(Addr(ip.c_str()), Addr("255.255.255.0"));
  }
  for (int k = 0; k < 200; ++k) {
    std::string ip = "172.16." + std::to_string(k / 200) + "." + std::to_string(k + 1);
    table.back().addresses.emplace_back(Addr(ip.c_str()), Addr("255.255.0.0"));
  }
  Interfaces(table);
  EXPECT_EQ(Check("172.16.0.200"), 0);
  EXPECT_EQ(config_.BroadcastAddr, Addr("172.16.255.255"));
  EXPECT_EQ(Check("10.0.28.1"), 0);
  // The 25th adapter is still known as a loopback one.
  EXPECT_EQ(Check("10.0.25.1"), 1);
  EXPECT_FALSE(LogHas("ERR:")) << Log();
}

TEST_F(HostIdentityTest, UnreadableAddressSettingFailsWithTheSumOfResults) {
  plat::RegCloseKey(OpenOrCreate("Parameter"));
  EXPECT_EQ(config_.AreIPChanged(), -1);  // the value is missing: 0 + -1 + 0
  EXPECT_EQ(config_.ErrNo, 1508u);
  EXPECT_EQ(config_.SysError, 0xFFFFFFFFu);
  EXPECT_TRUE(
      LogHas("ERR: Judge ip changed get ip from register error,syserror=ffffffff,error=1508\r\n"))
      << Log();

  plat::HKEY hklm = plat::kHKEY_LOCAL_MACHINE;
  ASSERT_EQ(plat::RegDeleteTreeA(hklm, "SOFTWARE"), 0);
  EXPECT_EQ(config_.AreIPChanged(), -1);  // no key: -1 + -1 + 0
  EXPECT_EQ(config_.SysError, 0xFFFFFFFEu);
  EXPECT_TRUE(
      LogHas("ERR: Judge ip changed get ip from register error,syserror=fffffffe,error=1508\r\n"))
      << Log();
}

TEST(IpHelper, BuffersTooSmallAnswerTheSizeNeeded) {
  std::vector<InterfaceEntry> table;
  for (DWORD i = 1; i <= 21; ++i)
    table.push_back(Adapter(i, "eth" + std::to_string(i), false, {{"10.0.0.1", "255.0.0.0"}}));
  table[0].addresses.emplace_back(Addr("10.0.0.2"), Addr("255.0.0.0"));
  plat::SetInterfaceSourceForTest([table] { return table; });
  DWORD count = 0;
  ASSERT_EQ(plat::GetNumberOfInterfaces(&count), 0u);
  EXPECT_EQ(count, 21u);
  std::vector<plat::IP_ADAPTER_INFO> info(20);
  plat::ULONG size = 12800;
  EXPECT_EQ(plat::GetAdaptersInfo(info.data(), &size), plat::kERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 21 * sizeof(plat::IP_ADAPTER_INFO) + sizeof(plat::IP_ADDR_STRING));
  std::vector<uint64_t> big((size + 7) / 8);
  auto* records = reinterpret_cast<plat::IP_ADAPTER_INFO*>(big.data());
  ASSERT_EQ(plat::GetAdaptersInfo(records, &size), 0u);
  int n = 0;
  for (auto* a = records; a != nullptr; a = a->Next) ++n;
  EXPECT_EQ(n, 21);
  EXPECT_STREQ(records[0].IpAddressList.IpAddress, "10.0.0.1");
  ASSERT_NE(records[0].IpAddressList.Next, nullptr);
  EXPECT_STREQ(records[0].IpAddressList.Next->IpAddress, "10.0.0.2");
  EXPECT_STREQ(records[20].Description, "eth21");

  plat::ULONG tableSize = 100;
  std::vector<uint32_t> rows(25);
  auto* t = reinterpret_cast<plat::MIB_IPADDRTABLE*>(rows.data());
  EXPECT_EQ(plat::GetIpAddrTable(t, &tableSize, plat::kFALSE), plat::kERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(tableSize, 4 + 22 * sizeof(plat::MIB_IPADDRROW));
  EXPECT_EQ(plat::GetAdaptersInfo(info.data(), nullptr), plat::kERROR_INVALID_PARAMETER);
  plat::SetInterfaceSourceForTest(nullptr);
}

// Real interfaces: run again inside a network namespace of this test's own,
// where a veth pair carries known addresses.
TEST_F(HostIdentityTest, RealInterfacesInANetworkNamespace) {
  if (!testsupport::InOwnNetworkNamespace()) {
    testsupport::RunAgainInOwnNetworkNamespace();
    return;
  }
  ASSERT_EQ(
      std::system("PATH=/usr/sbin:/sbin:/usr/bin:/bin; ip link set lo up && "
                  "ip link add kv0 type veth peer name kv1 && ip addr add 10.200.0.1/24 dev kv0 && "
                  "ip addr add 10.201.5.9/16 dev kv1"),
      0);
  EXPECT_EQ(Check("10.200.0.1"), 0);
  EXPECT_EQ(config_.BroadcastAddr, Addr("10.200.0.255"));
  EXPECT_EQ(Check("10.201.5.9"), 0);
  EXPECT_EQ(config_.BroadcastAddr, Addr("10.201.255.255"));
  EXPECT_EQ(Check("127.0.0.1"), 1);
  EXPECT_EQ(Check("10.200.0.2"), 1);

  DWORD count = 0;
  ASSERT_EQ(plat::GetNumberOfInterfaces(&count), 0u);
  EXPECT_EQ(count, 3u);
  std::vector<uint64_t> buf(4096);
  plat::ULONG size = static_cast<plat::ULONG>(buf.size() * 8);
  auto* records = reinterpret_cast<plat::IP_ADAPTER_INFO*>(buf.data());
  ASSERT_EQ(plat::GetAdaptersInfo(records, &size), 0u);
  std::vector<std::string> descriptions;
  for (auto* a = records; a != nullptr; a = a->Next) descriptions.push_back(a->Description);
  std::sort(descriptions.begin(), descriptions.end());
  EXPECT_EQ(descriptions, (std::vector<std::string>{"MS TCP Loopback interface", "kv0", "kv1"}));
}

}  // namespace
