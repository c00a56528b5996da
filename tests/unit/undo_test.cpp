// The undo records' promise, as rows of tests/unit/undo.txt: at every write,
// the records written so far bring back the registry before the run.
#include <gtest/gtest.h>

#include <sstream>

#include "registry/operations.h"
#include "registry/undo_registry.h"
#include "support/memory_registry.h"
#include "support/reg_text.h"
#include "support/rows.h"

namespace {

std::wstring Unescape(std::wstring text) {
  for (std::size_t at = text.find(L"\\r\\n"); at != std::wstring::npos; at = text.find(L"\\r\\n", at + 2)) {
    text.replace(at, 4, L"\r\n");
  }
  return text;
}

// Takes records until its write `failing`, checking that each comes before its change.
struct CheckedSink final : UndoSink {
  CheckedSink(const MemoryRegistry& watched, int failingWrite)
      : registry(watched), before(watched.State()), failing(failingWrite) {}
  bool Write(const std::wstring& records) noexcept override {
    if (++writes == failing) return false;
    text += records;
    MemoryRegistry restored = registry;
    std::wstring badLine;
    if (!ApplyRegText(restored, text, badLine) || restored.State() != before) faults += writes;
    return true;
  }
  const MemoryRegistry& registry;
  const RegistryState before;
  int failing;
  int writes = 0;
  int faults = 0;  // the sum of the writes after which the records did not bring the registry back
  std::wstring text;
};

TEST(UndoRecords, EachItemOnceAsBeforeTheRunAndBeforeItsChange) {
  for (const Row& row : ReadRows("unit/undo.txt")) {
    SCOPED_TRACE(std::string(row[0].begin(), row[0].end()));
    MemoryRegistry registry;
    ASSERT_TRUE(PutText(registry, L"HKLM\\S\\K", L"V", L"old") && PutText(registry, L"HKLM\\S\\K", L"W", L"x") &&
                Put(registry, L"HKLM\\S\\K\\Sub", L"", ValueType::RegNone, {}));
    CheckedSink sink(registry, std::stoi(row[2]));
    UndoRegistry undo(registry, sink);
    std::wistringstream steps(row[1]);
    std::wostringstream statuses;
    for (std::wstring step; std::getline(steps, step, L';');) {
      std::wistringstream words(step);
      std::wstring verb, key, name, text;
      words >> verb >> key >> name >> text;
      name = name == L"-" ? L"" : name;
      RegistryKey opened(undo);
      RegistryStatus status = verb == L"delete" ? DeleteKeyTree(undo, RegistryRoot::HKLM, key).error
                              : verb == L"set" ? opened.Create(RegistryAccess::RootKey(RegistryRoot::HKLM), key,
                                                               kOptionNonVolatile, kKeyAllAccessWow64)
                                               : opened.Open(RegistryAccess::RootKey(RegistryRoot::HKLM), key,
                                                             kOptionNonVolatile, kKeyAllAccessWow64);
      const std::vector<std::uint8_t> data = Sz(text);
      if (status == kRegistrySuccess && verb == L"set") {
        status = undo.SetValue(opened.get(), name, ValueType::RegSz, data.data(), static_cast<std::uint32_t>(data.size()));
      } else if (status == kRegistrySuccess && verb == L"unset") {
        status = undo.DeleteValue(opened.get(), name);
      }
      statuses << (statuses.str().empty() ? L"" : L" ") << status;
    }
    EXPECT_EQ(sink.text, Unescape(row[3]));
    EXPECT_EQ(statuses.str(), row[4]);
    EXPECT_EQ(sink.faults, 0);
    // What was made can be undone: nothing unrecorded was changed.
    MemoryRegistry restored = registry;
    std::wstring badLine;
    EXPECT_TRUE(sink.text.empty() || ApplyRegText(restored, sink.text, badLine));
    EXPECT_EQ(restored.State(), sink.before);
  }
}

}  // namespace
