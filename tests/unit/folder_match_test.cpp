#include "sweep/folder_match.h"

#include <gtest/gtest.h>

#include "support/rows.h"

TEST(PathIsInFolder, EveryRowOfTheTable) {
  const std::vector<Row> rows = ReadRows("unit/folder_match.txt");
  ASSERT_GT(rows.size(), 40u);
  for (const Row& row : rows) {
    if (row[0] == L"holds" || row[0] == L"clear") {  // holds | Windows folder | folder
      EXPECT_EQ(FolderHoldsSystem(row[2], row[1]), row[0] == L"holds") << testing::PrintToString(row[2]);
      continue;
    }
    if (row[0] == L"programs" || row[0] == L"apart") {  // programs | folder of installed programs | folder
      EXPECT_EQ(FolderHoldsPrograms(row[2], row[1]), row[0] == L"programs") << testing::PrintToString(row[2]);
      continue;
    }
    const bool complete = row.size() < 4;
    EXPECT_EQ(PathIsInFolder(row[2], row[1], complete), row[0] == L"in")
        << testing::PrintToString(row[1]) << " holds " << testing::PrintToString(row[2]);
  }
}
