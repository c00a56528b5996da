// What the offline registry must get right beyond the contract suite: names
// folded beyond ASCII, a value's spelling kept, the size libhivex writes
// correctly, a hive written back whole with its links, and keys deleted below
// an index root of a hive that Windows wrote.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <tuple>

#include "hive/hive_registry.h"
#include "registry/operations.h"
#include "support/blank_hive.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size);

namespace {

const RegistryAccess::Key HKLM = RegistryAccess::RootKey(RegistryRoot::HKLM);

std::string Contents(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

class HiveBackend : public ::testing::Test {
 protected:
  // A blank hive of `minor` format (or the one written before), open for
  // changes and mounted as HKLM\Software.
  void Open(std::uint32_t minor, bool blank = true) {
    std::string problem;
    registry_ = std::make_unique<HiveRegistry>();
    hive_ = blank ? hive_test::OpenBlankHive(path_, minor) : HiveFile::Open(path_, true, problem);
    ASSERT_TRUE(hive_) << problem;
    registry_->Mount(L"\\Registry\\Machine\\Software", *hive_);
  }

  RegistryStatus Set(const std::wstring& path, const std::wstring& name, std::size_t size) {
    RegistryKey key(*registry_);
    const std::vector<std::uint8_t> data(size, 0x41);
    const RegistryStatus status = key.Create(HKLM, path, kOptionNonVolatile, kKeyAllAccessWow64);
    return status != kRegistrySuccess ? status
                                      : registry_->SetValue(key.get(), name, ValueType::RegBinary,
                                                            data.data(), static_cast<std::uint32_t>(size));
  }

  hive_test::ScratchFolder folder_;
  const std::string path_ = folder_.path + "/SOFTWARE";
  std::unique_ptr<HiveFile> hive_;
  std::unique_ptr<HiveRegistry> registry_;
};

TEST_F(HiveBackend, NamesFoldBeyondAsciiAndValuesKeepTheirSpelling) {
  Open(5);
  ASSERT_EQ(Set(L"Software\\Ärger\\Жук", L"Größe", 4), kRegistrySuccess);
  ASSERT_EQ(Set(L"SOFTWARE\\äRGER\\жУК", L"GRÖßE", 8), kRegistrySuccess);
  // One key below the root, one below it, one value: as first spelled, as last written.
  std::vector<HiveFile::Node> children;
  std::wstring name;
  HiveFile::Node node = hive_->Root();
  for (const wchar_t* expected : {L"Ärger", L"Жук"}) {
    ASSERT_EQ(hive_->Children(node, children), kRegistrySuccess);
    ASSERT_EQ(children.size(), 1u);
    node = children[0];
    ASSERT_EQ(hive_->Name(node, name), kRegistrySuccess);
    EXPECT_EQ(name, expected);
  }
  std::vector<HiveFile::ValueRef> values;
  ASSERT_EQ(hive_->Values(node, values), kRegistrySuccess);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, L"Größe");
  EXPECT_EQ(values[0].size, 8u);
}

TEST_F(HiveBackend, ValuesLongerThanOneCellAreWrittenAsTheFormatKeepsThem) {
  // Past 16344 bytes format 1.5 keeps a value in a big-data record over segments.
  const std::pair<std::uint32_t, std::size_t> cases[] = {{5, 16344}, {5, 16345}, {5, 40000}, {3, 20000}};
  for (const auto& [minor, size] : cases) {
    SCOPED_TRACE(size);
    Open(minor);
    ASSERT_EQ(Set(L"Software\\Long", L"v", size), kRegistrySuccess);
    std::string error;
    ASSERT_TRUE(hive_->WriteBack(error)) << error;
    Open(minor, false);
    ASSERT_TRUE(hive_->Failure().empty()) << hive_->Failure();
    std::vector<std::uint8_t> data(size + 1);
    auto read = static_cast<std::uint32_t>(data.size());
    ValueType type = ValueType::RegNone;
    RegistryKey key(*registry_);
    ASSERT_EQ(key.Open(HKLM, L"Software\\Long", kOptionNonVolatile, kKeyRead), kRegistrySuccess);
    ASSERT_EQ(registry_->QueryValue(key.get(), L"v", type, data.data(), read), kRegistrySuccess);
    EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + read), std::vector<std::uint8_t>(size, 0x41));
    EXPECT_EQ(std::system(("python3 " MORVANE_HIVES_PY " check " + path_).c_str()), 0);
    // Deleted and made anew, the key leaves none of the value's cells behind.
    key.Close();
    ASSERT_TRUE(DeleteKeyTree(*registry_, RegistryRoot::HKLM, L"Software\\Long"));
    ASSERT_EQ(Set(L"Software\\Long", L"w", 4), kRegistrySuccess);
    std::filesystem::remove(path_ + ".morvane-backup");
    ASSERT_TRUE(hive_->WriteBack(error)) << error;
    EXPECT_EQ(std::system(("python3 " MORVANE_HIVES_PY " check " + path_).c_str()), 0);
    std::filesystem::remove(path_ + ".morvane-backup");
  }
}

TEST_F(HiveBackend, AChangedHiveIsWrittenBackWholeAfterABackup) {
  Open(5);
  const std::string original = Contents(path_);
  std::string error;
  ASSERT_TRUE(hive_->WriteBack(error));  // unchanged: left alone, no backup
  EXPECT_FALSE(std::filesystem::exists(path_ + ".morvane-backup"));

  ASSERT_EQ(Set(L"Software\\Kept", L"EditFlags", 4), kRegistrySuccess);
  ASSERT_EQ(Set(L"Software\\Gone", L"v", 4), kRegistrySuccess);
  RegistryKey link(*registry_);
  ASSERT_EQ(link.Create(HKLM, L"Software\\Link", kOptionCreateLink, kKeyAllAccessWow64 | kKeyCreateLink),
            kRegistrySuccess);
  EXPECT_TRUE(DeleteKeyTree(*registry_, RegistryRoot::HKLM, L"Software\\Gone"));
  ASSERT_TRUE(hive_->WriteBack(error)) << error;
  EXPECT_EQ(Contents(path_ + ".morvane-backup"), original);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".morvane-new"));

  link.Close();
  Open(5, false);  // the written file, read anew
  EXPECT_TRUE(KeyExists(*registry_, RegistryRoot::HKLM, L"Software\\kept"));
  EXPECT_FALSE(KeyExists(*registry_, RegistryRoot::HKLM, L"Software\\Gone"));
  RegistryKey reopened(*registry_);
  ASSERT_EQ(reopened.Open(HKLM, L"Software\\Link", kOptionOpenLink, kKeyRead), kRegistrySuccess);
  bool isLink = false;
  ASSERT_EQ(registry_->IsLink(reopened.get(), isLink), kRegistrySuccess);
  EXPECT_TRUE(isLink);
}

TEST_F(HiveBackend, KeysBelowAnIndexRootOfAWindowsHiveAreDeletedAndItsCellsStaySound) {
  // key_with_many_subkeys holds 1 ... 5000 in an index root over index leaves.
  if (!std::filesystem::exists(MORVANE_SHARED_HIVES "/ManySubkeysHive")) {
    GTEST_SKIP() << "no Windows-written hives beside the project (../shared/hives)";
  }
  std::filesystem::copy_file(MORVANE_SHARED_HIVES "/ManySubkeysHive", path_);
  std::filesystem::permissions(path_, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  Open(3, false);
  const std::wstring parent = L"Software\\key_with_many_subkeys\\";
  // The 1,111 names that begin with 1 (whole leaves among them), and the last.
  for (int i = 1; i <= 5000; ++i) {
    if (std::to_wstring(i)[0] != L'1' && i != 5000) continue;
    ASSERT_TRUE(DeleteKeyTree(*registry_, RegistryRoot::HKLM, parent + std::to_wstring(i))) << i;
  }
  ASSERT_EQ(Set(parent + L"1", L"again", 4), kRegistrySuccess);  // a deleted name made anew
  std::string error;
  ASSERT_TRUE(hive_->WriteBack(error)) << error;

  Open(3, false);
  EXPECT_TRUE(KeyExists(*registry_, RegistryRoot::HKLM, parent + L"1"));
  EXPECT_TRUE(KeyExists(*registry_, RegistryRoot::HKLM, parent + L"4999"));
  EXPECT_FALSE(KeyExists(*registry_, RegistryRoot::HKLM, parent + L"1999"));
  EXPECT_EQ(std::system(("python3 " MORVANE_HIVES_PY " check " + path_).c_str()), 0);
  // Read back independently: 5000 - 1112 + 1 keys below it, and 2119\find_me.
  EXPECT_EQ(std::system(("test $(reglookup -t KEY -H " + path_ + " | grep -c /key_with_many_subkeys/) = 3890").c_str()), 0);
}

TEST(HiveFuzzReplay, EverySeedOfTheHiveTargetKeepsItsRules) {
  // The target aborts on a broken rule.
  std::size_t replayed = 0;
  for (const auto& file : std::filesystem::directory_iterator(MORVANE_TESTS_DIR "/hive/fuzz/corpus")) {
    const std::string bytes = Contents(file.path().string());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    ++replayed;
  }
  EXPECT_GE(replayed, 3u);
}

}  // namespace
