// SPDX-License-Identifier: Apache-2.0
// The registry tree and its export text format.
#include "platform/common/regfile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace plat::reg {

namespace {

constexpr const char kHeader5[] = "Windows Registry Editor Version 5.00";
constexpr const char kHeader4[] = "REGEDIT4";

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameName(s.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  return s.substr(0, n);
}

std::string_view Trim(std::string_view s) { return TrimRight(TrimLeft(s)); }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits, nothing else.
bool ParseHex32(std::string_view s, DWORD* out) {
  if (s.empty() || s.size() > 8) return false;
  DWORD v = 0;
  for (char c : s) {
    int d = HexDigit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<DWORD>(d);
  }
  *out = v;
  return true;
}

// One UTF-8 sequence at s[i] in its shortest form, no surrogates: its length,
// or 0 when the bytes there are not UTF-8.
size_t DecodeUtf8(std::string_view s, size_t i, uint32_t* cp) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  uint32_t v;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    v = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    v = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    v = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char b = byte(i + k);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    v = (v << 6) | (b & 0x3F);
  }
  *cp = v;
  return len;
}

bool IsUtf8(std::string_view s) {
  uint32_t cp;
  for (size_t i = 0; i < s.size();) {
    size_t n = DecodeUtf8(s, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void AppendUnit(uint32_t unit, std::string* out) {
  out->push_back(static_cast<char>(unit & 0xFF));
  out->push_back(static_cast<char>(unit >> 8));
}

bool IsStringType(DWORD type) {
  return type == kREG_SZ || type == kREG_EXPAND_SZ || type == kREG_MULTI_SZ;
}

// A kREG_SZ that can stand as "text": UTF-8, one terminator at the very end,
// no other zero and no line break.
bool IsPlainText(const RegValue& v) {
  if (v.type != kREG_SZ || v.data.empty() || v.data.back() != '\0') return false;
  std::string_view body(v.data.data(), v.data.size() - 1);
  if (body.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) return false;
  return IsUtf8(body);
}

std::string Quote(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

void WriteValue(const RegValue& v, std::string* out) {
  std::string line = v.name.empty() ? std::string("@") : Quote(v.name);
  line += '=';
  if (IsPlainText(v)) {
    line += Quote(std::string_view(v.data.data(), v.data.size() - 1));
    *out += line;
    *out += '\n';
    return;
  }
  if (v.type == kREG_DWORD && v.data.size() == 4) {
    DWORD d = 0;
    for (int i = 3; i >= 0; --i) d = (d << 8) | static_cast<unsigned char>(v.data[i]);
    char buf[16];
    std::snprintf(buf, sizeof(buf), "dword:%08x", d);
    *out += line;
    *out += buf;
    *out += '\n';
    return;
  }
  if (v.type == kREG_BINARY) {
    line += "hex:";
  } else {
    char buf[24];
    std::snprintf(buf, sizeof(buf), "hex(%x):", v.type);
    line += buf;
  }
  std::string bytes = IsStringType(v.type) ? NarrowToUtf16le(v.data) : v.data;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    char piece[3] = {kDigits[b >> 4], kDigits[b & 15], ','};
    size_t len = i + 1 < bytes.size() ? 3 : 2;
    // Lines of at most 80 columns, continued with a backslash as regedit does.
    if (line.size() + len > 79) {
      *out += line;
      *out += "\\\n";
      line = "  ";
    }
    line.append(piece, len);
  }
  *out += line;
  *out += '\n';
}

void WriteKey(const RegKey& key, const std::string& path, bool isHive, bool everyKey,
              std::string* out) {
  // A key without values that has subkeys is implied by their sections.
  bool section = !key.values.empty() || (!isHive && (everyKey || key.subkeys.empty()));
  if (section) {
    *out += '[';
    *out += path;
    *out += "]\n";
    for (const RegValue& v : key.values) WriteValue(v, out);
    *out += '\n';
  }
  for (const auto& sub : key.subkeys) WriteKey(*sub, path + "\\" + sub->name, false, everyKey, out);
}

// ---------------------------------------------------------------- parsing
class Parser {
 public:
  Parser(std::vector<RegOp>* ops, ParseError* error) : ops_(ops), error_(error) {}

  bool Run(std::string_view text) {
    // Split into lines first; CR LF and LF both end a line.
    size_t start = 0;
    while (start <= text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string_view::npos) end = text.size();
      std::string_view line = text.substr(start, end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines_.push_back(line);
      if (end == text.size()) break;
      start = end + 1;
    }
    for (next_ = 0; next_ < lines_.size();) {
      size_t index = next_++;
      lineNo_ = static_cast<int>(index) + 1;
      std::string_view line = Trim(lines_[index]);
      if (line.empty() || line[0] == ';') continue;
      if (!haveHeader_) {
        if (line == kHeader5) {
          unicode_ = true;
        } else if (line == kHeader4) {
          unicode_ = false;
        } else {
          return Fail(
              "the file does not begin with \"Windows Registry Editor Version 5.00\" or "
              "\"REGEDIT4\"");
        }
        haveHeader_ = true;
        continue;
      }
      bool ok = line[0] == '['                       ? Section(line)
                : (line[0] == '"' || line[0] == '@') ? Value(line)
                                                     : Fail("unexpected text");
      if (!ok) return false;
    }
    return true;
  }

 private:
  bool Fail(std::string what) {
    error_->line = lineNo_;
    error_->what = std::move(what);
    return false;
  }

  bool Section(std::string_view line) {
    if (line.back() != ']') return Fail("a key section must end with ']'");
    std::string_view inner = line.substr(1, line.size() - 2);
    bool remove = !inner.empty() && inner[0] == '-';
    if (remove) inner.remove_prefix(1);
    std::vector<std::string> parts;
    std::string why;
    if (!SplitKeyPath(inner, &parts, &why)) return Fail(why);
    RegOp op;
    op.kind = remove ? RegOp::kDeleteKey : RegOp::kCreateKey;
    op.path = parts;
    op.line = lineNo_;
    ops_->push_back(std::move(op));
    current_ = remove ? std::vector<std::string>{} : std::move(parts);
    return true;
  }

  // "text" with \\ and \" escapes; other backslashes stand for themselves.
  bool Quoted(std::string_view s, size_t* pos, std::string* out) {
    size_t i = *pos + 1;
    while (i < s.size()) {
      char c = s[i];
      if (c == '"') {
        *pos = i + 1;
        return true;
      }
      if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
        out->push_back(s[i + 1]);
        i += 2;
        continue;
      }
      out->push_back(c);
      ++i;
    }
    return Fail("quoted text is not closed");
  }

  // What follows complete data may only be blanks or a ';' comment.
  bool OnlyComment(std::string_view rest) {
    rest = TrimLeft(rest);
    if (rest.empty() || rest[0] == ';') return true;
    return Fail("unexpected text after the value data");
  }

  static std::string_view CutComment(std::string_view s) {
    size_t semi = s.find(';');
    return semi == std::string_view::npos ? s : s.substr(0, semi);
  }

  bool Value(std::string_view line) {
    if (current_.empty()) return Fail("a value outside a key section");
    RegOp op;
    op.path = current_;
    op.line = lineNo_;
    size_t pos;
    if (line[0] == '@') {
      pos = 1;
    } else {
      pos = 0;
      if (!Quoted(line, &pos, &op.value.name)) return false;
      if (!IsValidValueName(op.value.name)) return Fail("the value name cannot be stored");
    }
    std::string_view rest = TrimLeft(line.substr(pos));
    if (rest.empty() || rest[0] != '=') return Fail("'=' expected after the value name");
    rest = TrimLeft(rest.substr(1));
    if (rest.empty()) return Fail("value data expected after '='");
    if (rest[0] == '-') {
      if (!OnlyComment(rest.substr(1))) return false;
      op.kind = RegOp::kDeleteValue;
    } else if (rest[0] == '"') {
      size_t p = 0;
      std::string text;
      if (!Quoted(rest, &p, &text) || !OnlyComment(rest.substr(p))) return false;
      op.kind = RegOp::kSetValue;
      op.value.type = kREG_SZ;
      op.value.data = std::move(text);
      op.value.data.push_back('\0');
    } else if (StartsWithNoCase(rest, "dword:")) {
      DWORD d;
      if (!ParseHex32(Trim(CutComment(rest.substr(6))), &d)) {
        return Fail("dword: needs one to eight hex digits");
      }
      op.kind = RegOp::kSetValue;
      op.value.type = kREG_DWORD;
      for (int i = 0; i < 4; ++i) op.value.data.push_back(static_cast<char>((d >> (8 * i)) & 0xFF));
    } else if (StartsWithNoCase(rest, "hex")) {
      if (!Hex(rest.substr(3), &op.value)) return false;
      op.kind = RegOp::kSetValue;
    } else {
      return Fail("unknown kind of value data");
    }
    ops_->push_back(std::move(op));
    return true;
  }

  // hex:.. or hex(N):.. with the byte list, continued over lines that end
  // in a backslash.
  bool Hex(std::string_view s, RegValue* value) {
    DWORD type = kREG_BINARY;
    if (!s.empty() && s[0] == '(') {
      size_t close = s.find(')');
      if (close == std::string_view::npos || !ParseHex32(s.substr(1, close - 1), &type)) {
        return Fail("hex(N): needs a type of one to eight hex digits");
      }
      s.remove_prefix(close + 1);
    }
    if (s.empty() || s[0] != ':') return Fail("':' expected after hex");
    std::string list(TrimRight(CutComment(s.substr(1))));
    while (!list.empty() && list.back() == '\\') {
      list.pop_back();
      std::string_view more;
      do {  // comment lines may stand between continued lines
        if (next_ >= lines_.size()) return Fail("the data continues past the end of the file");
        lineNo_ = static_cast<int>(next_) + 1;
        more = TrimLeft(lines_[next_++]);
      } while (!more.empty() && more[0] == ';');
      list += TrimRight(CutComment(more));
    }
    std::string bytes;
    std::string_view rest(list);
    while (!rest.empty()) {
      size_t comma = rest.find(',');
      std::string_view item = Trim(rest.substr(0, comma));
      bool last = comma == std::string_view::npos;
      rest = last ? std::string_view() : rest.substr(comma + 1);
      if (item.empty()) {
        if (last) break;  // a trailing comma
        return Fail("empty item in the hex byte list");
      }
      DWORD b;
      if (item.size() > 2 || !ParseHex32(item, &b))
        return Fail("hex bytes are two hex digits each, separated by commas");
      bytes.push_back(static_cast<char>(b));
    }
    // Windows keeps string data as UTF-16; the narrow calls see it as UTF-8.
    if (unicode_ && IsStringType(type) && bytes.size() % 2 == 0) bytes = Utf16leToNarrow(bytes);
    value->type = type;
    value->data = std::move(bytes);
    return true;
  }

  std::vector<RegOp>* ops_;
  ParseError* error_;
  std::vector<std::string_view> lines_;
  size_t next_ = 0;
  int lineNo_ = 0;
  bool haveHeader_ = false;
  bool unicode_ = true;
  std::vector<std::string> current_;
};

}  // namespace

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

uint32_t NameIndex::Hash(std::string_view name) {
  uint32_t hash = 2166136261u;  // FNV-1a over the folded bytes
  for (char c : name) hash = (hash ^ static_cast<unsigned char>(Lower(c))) * 16777619u;
  return hash;
}

void NameIndex::Place(Slot slot) {
  size_t mask = slots_.size() - 1;
  size_t i = slot.hash & mask;
  while (slots_[i].position != 0) i = (i + 1) & mask;
  slots_[i] = slot;
}

void NameIndex::Insert(std::string_view name, size_t position) {
  // At most half full, so a probe ends soon.
  if ((used_ + 1) * 2 > slots_.size()) {
    std::vector<Slot> old(slots_.size() < 8 ? 16 : slots_.size() * 2, Slot{0, 0});
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.position != 0) Place(slot);
    }
  }
  Place(Slot{Hash(name), static_cast<uint32_t>(position + 1)});
  ++used_;
}

void NameIndex::Clear() {
  slots_.clear();
  used_ = 0;
}

RegKey* RegKey::FindSubkey(std::string_view subName) const {
  size_t at =
      subkeyAt_.Find(subName, [this](size_t i) -> std::string_view { return subkeys[i]->name; });
  return at == NameIndex::kNone ? nullptr : subkeys[at].get();
}

RegKey* RegKey::AddSubkey(std::string_view subName) {
  if (RegKey* k = FindSubkey(subName)) return k;
  subkeyAt_.Insert(subName, subkeys.size());
  subkeys.push_back(std::make_unique<RegKey>());
  subkeys.back()->name = std::string(subName);
  return subkeys.back().get();
}

void RegKey::AdoptSubkey(std::unique_ptr<RegKey> key) {
  subkeyAt_.Insert(key->name, subkeys.size());
  subkeys.push_back(std::move(key));
}

bool RegKey::RemoveSubkey(std::string_view subName) {
  size_t at =
      subkeyAt_.Find(subName, [this](size_t i) -> std::string_view { return subkeys[i]->name; });
  if (at == NameIndex::kNone) return false;
  subkeys.erase(subkeys.begin() + static_cast<std::ptrdiff_t>(at));
  ReindexSubkeys();
  return true;
}

const RegValue* RegKey::FindValue(std::string_view valueName) const {
  size_t at =
      valueAt_.Find(valueName, [this](size_t i) -> std::string_view { return values[i].name; });
  return at == NameIndex::kNone ? nullptr : &values[at];
}

void RegKey::SetValue(std::string_view valueName, DWORD type, std::string data) {
  size_t at =
      valueAt_.Find(valueName, [this](size_t i) -> std::string_view { return values[i].name; });
  if (at == NameIndex::kNone) {
    valueAt_.Insert(valueName, values.size());
    values.push_back(RegValue{std::string(valueName), type, std::move(data)});
    return;
  }
  values[at].type = type;
  values[at].data = std::move(data);
}

bool RegKey::RemoveValue(std::string_view valueName) {
  size_t at =
      valueAt_.Find(valueName, [this](size_t i) -> std::string_view { return values[i].name; });
  if (at == NameIndex::kNone) return false;
  values.erase(values.begin() + static_cast<std::ptrdiff_t>(at));
  ReindexValues();
  return true;
}

void RegKey::Clear() {
  values.clear();
  subkeys.clear();
  valueAt_.Clear();
  subkeyAt_.Clear();
}

void RegKey::ReindexValues() {
  valueAt_.Clear();
  for (size_t i = 0; i < values.size(); ++i) valueAt_.Insert(values[i].name, i);
}

void RegKey::ReindexSubkeys() {
  subkeyAt_.Clear();
  for (size_t i = 0; i < subkeys.size(); ++i) subkeyAt_.Insert(subkeys[i]->name, i);
}

std::unique_ptr<RegKey> RegKey::Clone() const {
  auto copy = std::make_unique<RegKey>();
  copy->name = name;
  copy->values = values;
  copy->valueAt_ = valueAt_;
  for (const auto& k : subkeys) copy->subkeys.push_back(k->Clone());
  copy->subkeyAt_ = subkeyAt_;
  return copy;
}

std::unique_ptr<RegKey> NewRoot() {
  auto root = std::make_unique<RegKey>();
  root->AddSubkey(kClassesRoot);
  root->AddSubkey(kLocalMachine);
  return root;
}

const RegKey* FindPath(const RegKey& root, const std::vector<std::string>& path) {
  const RegKey* k = &root;
  for (const std::string& name : path) {
    k = k->FindSubkey(name);
    if (k == nullptr) return nullptr;
  }
  return k;
}

RegKey* FindPath(RegKey& root, const std::vector<std::string>& path) {
  return const_cast<RegKey*>(FindPath(static_cast<const RegKey&>(root), path));
}

std::string CanonicalHive(std::string_view name) {
  if (SameName(name, kLocalMachine) || SameName(name, "HKLM")) return kLocalMachine;
  if (SameName(name, kClassesRoot) || SameName(name, "HKCR")) return kClassesRoot;
  return std::string();
}

bool IsValidKeyName(std::string_view name) {
  return !name.empty() &&
         name.find_first_of(std::string_view("\\\r\n\0", 4)) == std::string_view::npos;
}

bool IsValidValueName(std::string_view name) {
  return name.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts, std::string* error) {
  parts->clear();
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  size_t start = 0;
  while (true) {
    size_t end = path.find('\\', start);
    std::string_view name =
        path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (name.empty()) {
      *error = "empty key name in \"" + std::string(path) + "\"";
      return false;
    }
    if (parts->empty()) {
      std::string hive = CanonicalHive(name);
      if (hive.empty()) {
        *error = "unsupported root key \"" + std::string(name) +
                 "\" (the store keeps kHKEY_LOCAL_MACHINE and kHKEY_CLASSES_ROOT)";
        return false;
      }
      parts->push_back(hive);
    } else {
      parts->emplace_back(name);
    }
    if (end == std::string_view::npos) return true;
    start = end + 1;
  }
}

std::string JoinKeyPath(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) {
    if (!out.empty()) out += '\\';
    out += p;
  }
  return out;
}

std::string NarrowToUtf16le(std::string_view narrow) {
  std::string out;
  out.reserve(narrow.size() * 2);
  for (size_t i = 0; i < narrow.size();) {
    uint32_t cp;
    size_t n = DecodeUtf8(narrow, i, &cp);
    if (n == 0) {
      AppendUnit(0xDC00 | static_cast<unsigned char>(narrow[i]), &out);
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      AppendUnit(0xD800 | (cp >> 10), &out);
      AppendUnit(0xDC00 | (cp & 0x3FF), &out);
    } else {
      AppendUnit(cp, &out);
    }
    i += n;
  }
  return out;
}

std::string Utf16leToNarrow(std::string_view utf16) {
  std::string out;
  size_t units = utf16.size() / 2;
  auto unit = [&](size_t k) {
    return static_cast<uint32_t>(static_cast<unsigned char>(utf16[2 * k])) |
           (static_cast<uint32_t>(static_cast<unsigned char>(utf16[2 * k + 1])) << 8);
  };
  for (size_t k = 0; k < units; ++k) {
    uint32_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < units && unit(k + 1) >= 0xDC00 &&
        unit(k + 1) <= 0xDFFF) {
      AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (unit(k + 1) - 0xDC00), &out);
      ++k;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out.push_back(static_cast<char>(u & 0xFF));  // a byte that was not UTF-8
    } else {
      AppendUtf8(u, &out);  // lone surrogates other than those keep their code
    }
  }
  return out;
}

bool ParseRegText(std::string_view bytes, std::vector<RegOp>* ops, ParseError* error) {
  ops->clear();
  std::string text;
  auto utf16 = [&](std::string_view body, bool bigEndian) {
    if (body.size() % 2 != 0) {
      error->line = 1;
      error->what = "UTF-16 text with an odd number of bytes";
      return false;
    }
    if (!bigEndian) {
      text = Utf16leToNarrow(body);
    } else {
      std::string swapped(body);
      for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
      text = Utf16leToNarrow(swapped);
    }
    return true;
  };
  if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
    if (!utf16(bytes.substr(2), false)) return false;
  } else if (bytes.size() >= 2 && bytes[0] == '\xFE' && bytes[1] == '\xFF') {
    if (!utf16(bytes.substr(2), true)) return false;
  } else if (bytes.size() >= 2 && bytes[0] != '\0' && bytes[1] == '\0') {
    if (!utf16(bytes, false)) return false;  // UTF-16LE that lost its mark
  } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    text = bytes.substr(3);
  } else {
    text = bytes;
  }
  size_t nul = text.find('\0');
  if (nul != std::string::npos) {
    error->line = 1 + static_cast<int>(std::count(
                          text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n'));
    error->what = "a zero byte in the text";
    return false;
  }
  Parser parser(ops, error);
  if (parser.Run(text)) return true;
  ops->clear();
  return false;
}

void ApplyRegOps(const std::vector<RegOp>& ops, RegKey* root) {
  // Values follow their section, so the key of the previous step is usually
  // the key of this one; a removal may take it away.
  const std::vector<std::string>* lastPath = nullptr;
  RegKey* lastKey = nullptr;
  for (const RegOp& op : ops) {
    switch (op.kind) {
      case RegOp::kDeleteKey: {
        lastPath = nullptr;
        if (op.path.size() < 2) {
          // A whole hive: empty it, the hive itself always stays.
          if (RegKey* hive = FindPath(*root, op.path)) {
            hive->Clear();
          }
          break;
        }
        std::vector<std::string> parent(op.path.begin(), op.path.end() - 1);
        if (RegKey* k = FindPath(*root, parent)) k->RemoveSubkey(op.path.back());
        break;
      }
      case RegOp::kCreateKey:
      case RegOp::kSetValue:
      case RegOp::kDeleteValue: {
        RegKey* k = lastKey;
        if (lastPath == nullptr || *lastPath != op.path) {
          k = root;
          for (const std::string& name : op.path) k = k->AddSubkey(name);
          lastPath = &op.path;
          lastKey = k;
        }
        if (op.kind == RegOp::kSetValue) k->SetValue(op.value.name, op.value.type, op.value.data);
        if (op.kind == RegOp::kDeleteValue) k->RemoveValue(op.value.name);
        break;
      }
    }
  }
}

std::string WriteRegText(const RegKey& root) {
  std::string out = kHeader5;
  out += "\n\n";
  for (const auto& hive : root.subkeys) WriteKey(*hive, hive->name, true, false, &out);
  return out;
}

std::string ExportRegText(const RegKey& key, const std::string& fullPath) {
  std::string out = kHeader5;
  out += "\n\n";
  WriteKey(key, fullPath, false, true, &out);
  return out;
}

}  // namespace plat::reg
