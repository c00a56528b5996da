// libFuzzer target over a user's classes hive damaged field by field: each
// 6 bytes of an input change one field of one cell of tests/hive/fuzz/base
// (byte 0 the cell, byte 1 the field's offset in it, byte 2 what is written:
// 0 one byte, 1 two, 2 four, 3 the offset of another cell; bytes 3 to 5 the
// value). The per-user override removal then runs on it, and either the hive
// is left byte for byte, or the hive written is sound to the structural walk
// and to libhivex and differs only by the overrides removed.
#include <hivex.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "hive/hive_layout.h"
#include "hive/hive_walk.h"
#include "hive/hive_registry.h"
#include "registry/undo_registry.h"
#include "registry/user_override.h"

namespace {

using Tree = std::map<std::wstring, std::map<std::wstring, std::vector<std::uint8_t>>>;  // by folded path

std::vector<std::uint8_t> Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Fault(const std::string& what) {
  std::fprintf(stderr, "FAULT: %s\n", what.c_str());
  std::abort();
}

// Every key below `node` with its values' types and data.
void ReadTree(HiveFile& hive, HiveFile::Node node, const std::wstring& path, Tree& tree) {
  std::vector<HiveFile::ValueRef> values;
  std::vector<HiveFile::Node> children;
  if (hive.Values(node, values) != kRegistrySuccess || hive.Children(node, children) != kRegistrySuccess) {
    Fault("a hive that passed the walk could not be read");
  }
  auto& key = tree[FoldName(path)];
  for (const HiveFile::ValueRef& value : values) {
    std::vector<std::uint8_t> data;
    if (hive.ReadData(value.handle, data) != kRegistrySuccess) Fault("a value of a sound hive could not be read");
    data.push_back(static_cast<std::uint8_t>(value.type));
    key[FoldName(value.name)] = data;
  }
  for (const HiveFile::Node child : children) {
    std::wstring name;
    if (hive.Name(child, name) != kRegistrySuccess) Fault("a key name of a sound hive could not be read");
    ReadTree(hive, child, path + L"\\" + name, tree);
  }
}

// libhivex reads every key and value of the file.
bool HivexReads(const std::string& path) {
  hive_h* hive = hivex_open(path.c_str(), 0);
  if (hive == nullptr) return false;
  bool read = true;
  std::vector<hive_node_h> pending{hivex_root(hive)};
  while (read && !pending.empty()) {
    const hive_node_h node = pending.back();
    pending.pop_back();
    hive_node_h* children = hivex_node_children(hive, node);
    hive_value_h* values = hivex_node_values(hive, node);
    read = children != nullptr && values != nullptr;
    for (hive_node_h* child = children; read && *child != 0; ++child) pending.push_back(*child);
    for (hive_value_h* value = values; read && *value != 0; ++value) {
      // libhivex follows the data field of a value of no data, which Windows does not.
      std::size_t size = 0;
      read = hivex_value_type(hive, *value, nullptr, &size) == 0;
      char* data = read && size != 0 ? hivex_value_value(hive, *value, nullptr, &size) : nullptr;
      read = read && (size == 0 || data != nullptr);
      free(data);
    }
    free(children);
    free(values);
  }
  hivex_close(hive);
  return read;
}

struct Discard final : UndoSink {
  bool Write(const std::wstring&) noexcept override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  static const std::vector<std::uint8_t> base = Read(MORVANE_TESTS_DIR "/hive/fuzz/base");
  static std::vector<std::size_t> cells;  // the base's cells in use, by file offset
  static std::string folder;
  if (folder.empty()) {
    char name[] = "/tmp/morvane-hive-fuzz-XXXXXX";
    folder = mkdtemp(name);
    for (std::size_t bin = hive_format::kHeaderSize; bin + 32 <= base.size();) {
      const std::size_t end = bin + hive_format::Read32(base.data() + bin + 8);
      for (std::size_t at = bin + 32; at + 4 <= end;) {
        const auto length = static_cast<std::int32_t>(hive_format::Read32(base.data() + at));
        if (length < 0) cells.push_back(at);
        at += static_cast<std::size_t>(length < 0 ? -length : length);
      }
      bin = end;
    }
  }
  std::vector<std::uint8_t> bytes = base;
  for (std::size_t at = 0; at + 6 <= size; at += 6) {
    const std::size_t cell = cells[input[at] % cells.size()];
    const std::size_t room = static_cast<std::size_t>(-static_cast<std::int32_t>(hive_format::Read32(base.data() + cell)));
    const std::size_t field = cell + (input[at + 1] % room & ~std::size_t{1});
    const std::uint32_t value = input[at + 2] % 4 == 3 ? static_cast<std::uint32_t>(cells[input[at + 3] % cells.size()] - hive_format::kHeaderSize)
                                                      : static_cast<std::uint32_t>(input[at + 3] | input[at + 4] << 8 | input[at + 5] << 16);
    const std::size_t width = input[at + 2] % 4 == 0 ? 1 : input[at + 2] % 4 == 1 ? 2 : 4;
    for (std::size_t i = 0; i < width && field + i < bytes.size(); ++i) bytes[field + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
  const std::string path = folder + "/UsrClass.dat";
  unlink((path + ".morvane-backup").c_str());
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(bytes.data()),
                                                                  static_cast<std::streamsize>(bytes.size()));
  std::string problem;
  std::unique_ptr<HiveFile> hive = HiveFile::Open(path, true, problem);
  if (!hive) return Read(path) == bytes ? 0 : (Fault("a refused hive changed"), 0);
  Tree before;
  if (hive->Failure().empty()) ReadTree(*hive, hive->Root(), L"", before);
  HiveRegistry registry;
  registry.SetCurrentUser(L"S-1-5-21-1");
  registry.Mount(L"\\Registry\\User\\S-1-5-21-1\\Software\\Classes", *hive);
  registry.Mount(L"\\Registry\\User\\S-1-5-21-1_Classes", *hive);
  Discard sink;
  UndoRegistry undo(registry, sink);
  std::wostringstream log;
  RemoveUserOverrides(undo, log);
  std::string error;
  const bool written = hive->Changed() && hive->Failure().empty() && hive->WriteBack(error);
  if (!written) return Read(path) == bytes ? 0 : (Fault("a hive not written back changed: " + error), 0);
  const std::vector<std::uint8_t> after = Read(path);
  const std::string damage = hive_format::StructureProblem(after.data(), after.size());
  if (!damage.empty()) Fault("the hive written is unsound: " + damage);
  if (!HivexReads(path)) Fault("libhivex cannot read the hive written");
  // Nothing but the overrides removed: every key left is as it was, and each
  // key gone was an override or lay below one.
  std::unique_ptr<HiveFile> reread = HiveFile::Open(path, false, problem);
  Tree now;
  ReadTree(*reread, reread->Root(), L"", now);
  for (const auto& [key, values] : now) {
    if (before.count(key) == 0 || before[key] != values) Fault("a key was changed or added by the repair");
  }
  for (const auto& [key, values] : before) {
    const std::wstring top = key.substr(0, key.find(L'\\', 1));
    if (now.count(key) == 0 && top != L"\\.EXE" && top != L"\\.BAT" && top != L"\\.COM" && now.count(top) != 0) {
      Fault("a key that is no override was deleted");
    }
  }
  return 0;
}
