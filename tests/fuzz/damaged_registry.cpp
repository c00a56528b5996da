#include "damaged_registry.h"

#include <array>
#include <cstddef>

namespace {

const wchar_t* const kKeyNames[] = {
    L".exe", L".bat", L".com", L"exefile", L"batfile", L"comfile", L"shell", L"open", L"command",
    L"runas", L"runasuser", L"edit", L"print", L"DefaultIcon", L"PersistentHandler", L"shellex",
    L"DropHandler", L"PropertySheetHandlers", L"ContextMenuHandlers", L"Compatibility",
    L"pintostartscreen", L"ShimLayer Property Page", L"{B41DB860-8EE4-11D2-9906-E49FADC173CA}",
    L"{8895b1c6-b41f-4c1c-a562-0d564250836f}", L"Software", L"Classes", L"Wow6432Node", L"txtfile",
    L".txt", L".", L"..", L"CLSID", L"Microsoft", L"Windows",
};

const wchar_t* const kValueNames[] = {
    L"EditFlags", L"IsolatedCommand", L"Content Type", L"FriendlyTypeName", L"TileInfo", L"InfoTip",
    L"HasLUAShield", L"DelegateExecute", L"Extended", L"SuppressionPolicyEx", L"MUIVerb",
    L"NeverDefault", L"Description", L"MultiSelectModel", L"SymbolicLinkValue", L"NoOpenWith",
};

const wchar_t* const kBases[] = {
    L"",
    L"Software",
    L"Software\\Classes",
    L"Software\\Classes\\.exe",
    L"Software\\Classes\\.bat",
    L"Software\\Classes\\.com",
    L"Software\\Classes\\exefile",
    L"Software\\Classes\\batfile",
    L"Software\\Classes\\comfile",
    L"Software\\Classes\\.exe\\shell",
    L"Software\\Classes\\.exe\\DefaultIcon",
    L"Software\\Classes\\exefile\\shell\\open\\command",
    L"Software\\Classes\\exefile\\shell\\runas\\command",
    L"Software\\Classes\\batfile\\shell",
    L"Software\\Classes\\comfile\\shell\\open",
    L"Software\\Classes\\txtfile",
    L"Software\\Unrelated",
    L"System\\CurrentControlSet\\Services",
};

const wchar_t* const kOddClasses[] = {
    L".", L"..", L"..\\..", L".\\exefile", L"..\\Software", L"HKLM\\Software\\Classes\\exefile",
    L"\\Registry\\Machine\\Software\\Classes\\exefile", L"SOFTWARE\\Classes", L"*", L"exefile\\shell",
};

// Characters of random names: letters in both cases, digits, punctuation the
// registry allows, and letters without case from beyond ASCII and beyond the
// basic plane.
const wchar_t kAlphabet[] = {
    L'a', L'b', L'c', L'e', L'f', L'i', L'l', L'x', L'A', L'B', L'E', L'F', L'X', L'Z', L'0', L'1',
    L'9', L' ', L'.', L'-', L'_', L'{', L'}', L'%', L'@', L'"', L'\'', L'*', L'?', L'/', L':', L',',
    static_cast<wchar_t>(0x00DF), static_cast<wchar_t>(0x4E2D), static_cast<wchar_t>(0x00A0),
    static_cast<wchar_t>(0x1F600), static_cast<wchar_t>(0x10437), static_cast<wchar_t>(0xFFFD),
};

template <typename T, std::size_t N>
constexpr std::uint32_t CountOf(const T (&)[N]) {
  return static_cast<std::uint32_t>(N);
}

// Windows keeps key names to 255 characters, and the in-memory registry
// opens no longer ones; a seeded key must be one the registry could hold.
bool NamesFit(const std::wstring& path) {
  std::size_t length = 0;
  for (wchar_t ch : path) {
    length = ch == L'\\' ? 0 : length + 1;
    if (length > 255) return false;
  }
  return true;
}

bool IsAsciiLetter(wchar_t ch) { return (ch >= L'a' && ch <= L'z') || (ch >= L'A' && ch <= L'Z'); }

std::wstring SplitFirst(std::wstring& rest) {
  const std::size_t end = rest.find(L'\\');
  std::wstring first = rest.substr(0, end);
  rest = end == std::wstring::npos ? std::wstring() : rest.substr(end + 1);
  return first;
}

std::vector<std::wstring> Components(const std::wstring& path) {
  std::vector<std::wstring> parts;
  std::wstring rest = path;
  while (!rest.empty()) {
    std::wstring part = SplitFirst(rest);
    if (!part.empty()) parts.push_back(part);
  }
  return parts;
}

class Decoder {
 public:
  Decoder(ByteReader& in, MemoryRegistry& registry, DamagedRegistry& out)
      : in_(in), registry_(registry), out_(out) {}

  void Run() {
    out_.family = static_cast<Family>(in_.Below(kFamilyCount));
    // Bounded so that a long input cannot make one run slow.
    for (int op = 0; op < 128 && !in_.Done(); ++op) Step(static_cast<SeedOp>(in_.Below(kOpCount)));
  }

 private:
  void Count(bool done) {
    if (!done) ++out_.refused;
  }

  void Step(SeedOp op) {
    switch (op) {
      case SeedOp::kKey: {
        const RegistryRoot root = Root();
        const std::wstring path = Path();
        Count(NamesFit(path) && registry_.AddKey(root, path));
        break;
      }
      case SeedOp::kValue: {
        const RegistryRoot root = Root();
        AddValueAt(root, Path());
        break;
      }
      case SeedOp::kLink: {
        const RegistryRoot root = Root();
        const std::wstring path = Path();
        const RegistryRoot targetRoot = Root();
        const std::wstring target = Path();
        Count(NamesFit(path) && LinkAllowedAt(root, path) && registry_.AddLink(root, path, targetRoot, target));
        break;
      }
      case SeedOp::kOverride: {
        const wchar_t* const extensions[] = {L".exe", L".bat", L".com"};
        const std::wstring key = Cased(std::wstring(L"SOFTWARE\\Classes\\") + extensions[in_.Below(3)]);
        const std::wstring className = ClassName();
        const ValueType type = in_.Below(8) == 0 ? ValueType::RegExpandSz : ValueType::RegSz;
        Count(registry_.AddValue(RegistryRoot::HKCU, key, L"", type, StringBytes(className)));
        break;
      }
      case SeedOp::kDeepTree: {
        const RegistryRoot root = Root();
        std::wstring path = Path();
        // Long names make paths of thousands of characters in a few levels;
        // short ones make the tree deep.
        const bool longNames = in_.Below(4) == 0;
        const std::wstring name = longNames ? std::wstring(200 + in_.Below(56), L'k') : Name();
        const std::uint32_t depth = 1 + in_.Below(longNames ? 8 : 48);
        for (std::uint32_t level = 0; level < depth; ++level) path += (path.empty() ? L"" : L"\\") + name;
        Count(NamesFit(path) && registry_.AddKey(root, path));
        AddValueAt(root, path);
        break;
      }
      case SeedOp::kTableDamage:
        DamageRow();
        break;
      case SeedOp::kRepairedRows: {
        const std::uint8_t mask = in_.Byte();
        for (const FamilyRow& row : TableOf(out_.family).rows) {
          if (row.how == RowHow::kDeleted) continue;
          Count(registry_.AddValue(RegistryRoot::HKLM, Cased(L"Software\\Classes\\" + row.key, mask),
                                   row.name, row.type, row.data));
        }
        break;
      }
      case SeedOp::kUserClass: {
        std::wstring path = L"SOFTWARE\\Classes\\" + (in_.Below(2) == 0 ? Name() : ClassName());
        for (std::uint32_t extra = in_.Below(3); extra > 0; --extra) path += L"\\" + Name();
        path = Cased(path);
        Count(NamesFit(path) && registry_.AddKey(RegistryRoot::HKCU, path));
        AddValueAt(RegistryRoot::HKCU, path);
        break;
      }
      case SeedOp::kFailure: {
        const auto kind = static_cast<RegistryCallKind>(in_.Below(10));
        const RegistryRoot root = Root();
        const std::wstring path = Path();
        const RegistryStatus statuses[] = {kRegistryAccessDenied, kRegistryFileNotFound, kRegistryMoreData,
                                           kRegistryKeyDeleted, kRegistryInvalidParameter};
        registry_.InjectFailure(kind, root, path, statuses[in_.Below(5)]);
        ++out_.failures;
        break;
      }
    }
  }

  // The input is read in one fixed order whatever the compiler: every read
  // is a statement of its own, never two operands of one expression.
  void AddValueAt(RegistryRoot root, const std::wstring& path) {
    const std::wstring name = ValueName();
    const ValueType type = Type();
    std::vector<std::uint8_t> data = Data();
    Count(NamesFit(path) && registry_.AddValue(root, path, name, type, std::move(data)));
  }

  RegistryRoot Root() { return in_.Below(2) == 0 ? RegistryRoot::HKLM : RegistryRoot::HKCU; }

  std::wstring Cased(std::wstring text) { return Cased(std::move(text), in_.Byte()); }
  static std::wstring Cased(std::wstring text, std::uint8_t mask) {
    std::size_t letter = 0;
    for (wchar_t& ch : text) {
      if (!IsAsciiLetter(ch)) continue;
      if ((static_cast<unsigned>(mask) >> (letter++ % 8)) & 1u) ch = static_cast<wchar_t>(ch ^ 0x20);
    }
    return text;
  }

  std::wstring Name() {
    const std::uint8_t pick = in_.Byte();
    if (pick < 160) return Cased(kKeyNames[pick % CountOf(kKeyNames)]);
    if (pick >= 250) {
      const std::size_t length = 100 + in_.Below(156);
      return std::wstring(length, kAlphabet[in_.Below(CountOf(kAlphabet))]);
    }
    std::wstring name;
    for (std::uint32_t length = 1 + in_.Below(12); length > 0; --length) {
      name.push_back(kAlphabet[in_.Below(CountOf(kAlphabet))]);
    }
    return name;
  }

  std::wstring Path() {
    std::wstring path = kBases[in_.Below(CountOf(kBases))];
    for (std::uint32_t extra = in_.Below(4); extra > 0; --extra) {
      path += (path.empty() ? L"" : L"\\") + Name();
    }
    if (in_.Below(16) == 0) path += L"\\";  // a trailing backslash names the same key
    return Cased(path);
  }

  std::wstring ValueName() {
    switch (in_.Below(4)) {
      case 1: return Cased(kValueNames[in_.Below(CountOf(kValueNames))]);
      case 2: return Name();
      default: return std::wstring();
    }
  }

  ValueType Type() {
    const std::uint32_t types[] = {0, 1, 2, 3, 4, 6, 7, 11};
    const std::uint32_t pick = in_.Below(9);
    return static_cast<ValueType>(pick < 8 ? types[pick] : in_.Byte());
  }

  // One of the texts the resets write, so that damage comes close to the truth.
  std::wstring TableText() {
    const FamilyTable& table = TableOf(out_.family);
    return table.rows[in_.Below(static_cast<std::uint32_t>(table.rows.size()))].text;
  }

  std::vector<std::uint8_t> Big(std::wstring prefix) {
    const std::uint32_t sizes[] = {8190, 8191, 8192, 8193, 8194, 16384, 20000};
    const std::size_t size = sizes[in_.Below(7)];
    std::vector<std::uint8_t> data = StringBytes(prefix);
    if (in_.Below(2) == 0 && !data.empty()) data.resize(data.size() - 2);  // the text runs on
    while (data.size() < size) data.push_back(static_cast<std::uint8_t>(data.size() % 2 == 0 ? 'x' : 0));
    data.resize(size);
    return data;
  }

  std::vector<std::uint8_t> Data() {
    switch (in_.Below(9)) {
      case 0: return {};
      case 1: return StringBytes(Cased(TableText()));
      case 2: {
        std::vector<std::uint8_t> data(in_.Below(40));
        for (std::uint8_t& byte : data) byte = in_.Byte();
        return data;
      }
      case 3: return Big(Cased(TableText()));
      case 4: {
        std::vector<std::uint8_t> data = StringBytes(TableText());
        for (std::uint32_t extra = 1 + in_.Below(8); extra > 0; --extra) data.push_back(in_.Byte());
        return data;
      }
      case 5: {
        std::vector<std::uint8_t> data = StringBytes(TableText());
        data.pop_back();
        return data;
      }
      case 6: {
        std::vector<std::uint8_t> data(4);
        for (std::uint8_t& byte : data) byte = in_.Byte();
        return data;
      }
      case 7: return StringBytes(Name());
      default: {
        std::vector<std::uint8_t> data = StringBytes(TableText());
        data.resize(data.size() - 2);
        return data;
      }
    }
  }

  // What a per-user extension key may name: ordinary classes and every odd
  // shape a class name can take.
  std::wstring ClassName() {
    switch (in_.Below(13)) {
      case 0: {
        const wchar_t* const classes[] = {L"exefile", L"batfile", L"comfile", L"txtfile"};
        return Cased(classes[in_.Below(4)]);
      }
      case 1: return Name();
      case 2: return std::wstring(1 + in_.Below(6), L'\\');
      case 3: return L"\\" + Name();
      case 4: return Name() + L"\\";
      case 5: {
        const std::wstring first = Name();
        return first + L"\\\\" + Name();
      }
      case 6: return std::wstring();
      case 7: return Cased(kOddClasses[in_.Below(CountOf(kOddClasses))]);
      case 8: {
        std::wstring name = Name();
        for (std::uint32_t extra = 1 + in_.Below(3); extra > 0; --extra) name += L"\\" + Name();
        return name;
      }
      case 9: return std::wstring(4090 + in_.Below(20), L'c');
      case 10: {
        std::wstring name = Name();
        name.push_back(L'\0');
        return name + Name();
      }
      case 11: return L"\\\\" + Name() + L"\\\\";
      default: {
        const std::wstring first = Name();
        return first + L"\\" + Name() + L"\\";
      }
    }
  }

  void DamageRow() {
    const FamilyTable& table = TableOf(out_.family);
    const FamilyRow& row = table.rows[in_.Below(static_cast<std::uint32_t>(table.rows.size()))];
    const std::wstring path = Cased(L"Software\\Classes\\" + row.key);
    const std::wstring name = Cased(row.name);
    const std::wstring text = row.text.empty() ? std::wstring(L"x") : row.text;
    ValueType type = row.type;
    std::vector<std::uint8_t> data = row.data;
    switch (in_.Below(8)) {
      case 0: data = StringBytes(Cased(text)); break;
      case 1: type = type == ValueType::RegSz ? ValueType::RegExpandSz : ValueType::RegSz; break;
      case 2: data = Big(in_.Below(2) == 0 ? text : Name()); break;
      case 3: type = type == ValueType::RegDword ? ValueType::RegBinary : ValueType::RegDword; break;
      case 4: if (data.size() >= 2) data.resize(data.size() - 2); break;
      case 5: data.clear(); break;
      case 6: data = StringBytes(Name()); break;
      default: data.push_back(in_.Byte()); break;
    }
    if (data.empty() && row.how == RowHow::kDeleted) data = StringBytes(LR"("%1" %*)");
    Count(registry_.AddValue(RegistryRoot::HKLM, path, name, type, data));
  }

  ByteReader& in_;
  MemoryRegistry& registry_;
  DamagedRegistry& out_;
};

}  // namespace

std::wstring Fold(const std::wstring& text) {
  std::wstring folded = text;
  for (wchar_t& ch : folded) {
    if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - 0x20);
  }
  return folded;
}

bool LinkAllowedAt(RegistryRoot root, const std::wstring& path) {
  const std::vector<std::wstring> place = Components(Fold(path));
  if (place.empty()) return false;
  if (place[0] == L"SOFTWARE" && (place.size() == 1 || (place.size() == 2 && place[1] == L"CLASSES"))) {
    return false;
  }
  if (root == RegistryRoot::HKCU) return true;
  for (int family = 0; family < kFamilyCount; ++family) {
    for (const FamilyRow& row : TableOf(static_cast<Family>(family)).rows) {
      const std::vector<std::wstring> written = Components(Fold(L"Software\\Classes\\" + row.key));
      if (place.size() > written.size()) continue;
      bool onTheWay = true;
      for (std::size_t i = 0; i < place.size() && onTheWay; ++i) onTheWay = place[i] == written[i];
      if (onTheWay) return false;
    }
  }
  return true;
}

DamagedRegistry DecodeDamagedRegistry(const std::uint8_t* data, std::size_t size,
                                      MemoryRegistry& registry) {
  ByteReader in(data, size);
  DamagedRegistry out;
  Decoder(in, registry, out).Run();
  return out;
}
