#include "host/classify.h"

#include <gtest/gtest.h>

#include "fakes/fakes.h"
#include "support/rows.h"

TEST(ClassifyHost, EveryRowOfTheTable) {
  const std::vector<Row> rows = ReadRows("unit/classify.txt");
  ASSERT_GT(rows.size(), 30u);
  for (const Row& row : rows) {
    FakeHostQuery host;
    host.version.majorVersion = static_cast<std::uint32_t>(std::stoul(row[0]));
    const std::size_t minor = row[0].find(L'.') + 1;
    const std::size_t build = row[0].find(L'.', minor);
    host.version.minorVersion = static_cast<std::uint32_t>(std::stoul(row[0].substr(minor)));
    host.version.buildNumber = build == std::wstring::npos ? 0 : static_cast<std::uint32_t>(std::stoul(row[0].substr(build + 1)));
    host.version.productType = static_cast<std::uint8_t>(std::stoul(row[1]));
    host.version.suiteMask = static_cast<std::uint16_t>(std::stoul(row[2], nullptr, 16));
    host.architecture = static_cast<std::uint16_t>(std::stoul(row[3], nullptr, 16));
    host.serverR2 = std::stoi(row[4]);
    SystemInfo info;
    EXPECT_EQ(ClassifyHost(info, host), std::stoi(row[8])) << testing::PrintToString(row);
    EXPECT_EQ(info.osName, row[5]) << testing::PrintToString(row);
    EXPECT_EQ(info.supported, row[6] == L"supported" ? 1 : 0) << testing::PrintToString(row);
    EXPECT_EQ(info.unsupportedNote.empty(), row[6] != L"unsupported with the note") << testing::PrintToString(row);
    EXPECT_EQ(info.processorName, row[7]) << testing::PrintToString(row);
    EXPECT_EQ(info.processId, 100u);
  }
}
