// SPDX-License-Identifier: Apache-2.0
// keld4-reg: the operator's tool for the agent's registry store, in the
// manner of Windows' reg tool.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/common/regfile.h"
#include "platform/linux/regstore.h"
#include "platform/platform.h"

namespace {

using plat::DWORD;
using plat::LONG;
namespace reg = plat::reg;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kUsageText[] =
    "Usage: keld4-reg [--store FILE] COMMAND ...\n"
    "\n"
    "  keld4-reg query KEY [/v NAME | /ve] [/s]\n"
    "  keld4-reg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/f]\n"
    "  keld4-reg delete KEY [/v NAME | /ve] [/f]\n"
    "  keld4-reg import FILE.reg\n"
    "  keld4-reg export KEY FILE.reg [/y]\n"
    "\n"
    "KEY is HKEY_LOCAL_MACHINE\\... or HKEY_CLASSES_ROOT\\... (HKLM, HKCR for short);\n"
    "quote it for the shell, for example 'HKLM\\SOFTWARE\\Ostrel\\KELD4\\Parameter'.\n"
    "TYPE is REG_SZ (the default), REG_EXPAND_SZ, REG_MULTI_SZ, REG_DWORD, REG_QWORD\n"
    "or REG_BINARY. DWORD and QWORD data are decimal or 0x-prefixed hexadecimal,\n"
    "binary data are hex digits (\"0a1b2c\"), REG_MULTI_SZ strings are separated by \\0.\n"
    "/ve names the key's default value; /f changes or deletes without asking;\n"
    "/s queries all subkeys too; /y overwrites an existing export file.\n"
    "import reads UTF-8, REGEDIT4 and Windows' UTF-16 exports and changes the store\n"
    "in one step: all of the file, or nothing. export FILE may be - (standard output).\n"
    "\n"
    "The store is --store FILE, else $KELD4_REGISTRY, else /var/lib/keld4/registry.reg.\n"
    "Exit status: 0 success, 1 failure, 2 bad usage.\n";

int Usage(const std::string& why) {
  std::cerr << "keld4-reg: " << why << "\n"
            << "Try 'keld4-reg --help'.\n";
  return kUsage;
}

int Fail(const std::string& why) {
  std::cerr << "keld4-reg: " << why << "\n";
  return kFailed;
}

std::string SystemText(DWORD code) {
  if (code == plat::kERROR_REGISTRY_CORRUPT || code == plat::kERROR_BADDB) {
    std::string parse = plat::RegistryLastParseError();
    if (!parse.empty()) return "the store cannot be read: " + parse;
  }
  char buf[512];
  if (plat::FormatSystemMessage(code, buf, sizeof(buf)) == 0)
    return "error " + std::to_string(code);
  std::string text(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text + " (error " + std::to_string(code) + ")";
}

void Succeeded() { std::cout << "The operation completed successfully.\n"; }

bool Confirm(const std::string& question) {
  std::cerr << question << " (Yes/No)? " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return reg::SameName(answer, "y") || reg::SameName(answer, "yes");
}

bool IsSwitch(const std::string& arg, const char* name) {
  return arg.size() >= 2 && (arg[0] == '/' || arg[0] == '-') && reg::SameName(arg.substr(1), name);
}

struct Options {
  std::vector<std::string> positional;
  bool haveValue = false;  // /v or /ve
  std::string valueName;
  bool haveType = false;
  std::string type = "REG_SZ";
  bool haveData = false;
  std::string data;
  bool force = false;
  bool recursive = false;
  bool overwrite = false;
};

// Positional arguments come first (file names may begin with '/'), the
// switches after them.
int ParseArgs(const std::vector<std::string>& args, size_t positional, const std::string& allowed,
              Options* o) {
  size_t i = 0;
  for (; i < args.size() && i < positional; ++i) o->positional.push_back(args[i]);
  if (o->positional.size() < positional) return Usage("missing arguments");
  auto allows = [&](const char* s) {
    return allowed.find(std::string(" ") + s + " ") != std::string::npos;
  };
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto argument = [&](std::string* out) {
      if (i + 1 >= args.size()) return false;
      *out = args[++i];
      return true;
    };
    if (IsSwitch(a, "v") && allows("v")) {
      if (o->haveValue || !argument(&o->valueName)) return Usage("/v needs one value name");
      o->haveValue = true;
    } else if (IsSwitch(a, "ve") && allows("ve")) {
      if (o->haveValue) return Usage("/v and /ve exclude each other");
      o->haveValue = true;
      o->valueName.clear();
    } else if (IsSwitch(a, "t") && allows("t")) {
      if (!argument(&o->type)) return Usage("/t needs a type");
      o->haveType = true;
    } else if (IsSwitch(a, "d") && allows("d")) {
      if (!argument(&o->data)) return Usage("/d needs data");
      o->haveData = true;
    } else if (IsSwitch(a, "f") && allows("f")) {
      o->force = true;
    } else if (IsSwitch(a, "s") && allows("s")) {
      o->recursive = true;
    } else if (IsSwitch(a, "y") && allows("y")) {
      o->overwrite = true;
    } else {
      return Usage("unexpected argument '" + a + "'");
    }
  }
  return kOk;
}

int ParseKey(const std::string& text, std::vector<std::string>* parts) {
  std::string why;
  if (!reg::SplitKeyPath(text, parts, &why)) return Usage("invalid key '" + text + "': " + why);
  return kOk;
}

plat::HKEY Hive(const std::vector<std::string>& parts) {
  return parts[0] == reg::kLocalMachine ? plat::kHKEY_LOCAL_MACHINE : plat::kHKEY_CLASSES_ROOT;
}

std::string Below(const std::vector<std::string>& parts) {
  return reg::JoinKeyPath(std::vector<std::string>(parts.begin() + 1, parts.end()));
}

// The key's path with the names as the store spells them.
std::string StoredPath(const reg::RegKey& root, const std::vector<std::string>& parts) {
  std::vector<std::string> names;
  const reg::RegKey* k = &root;
  for (const std::string& p : parts) {
    k = k->FindSubkey(p);
    names.push_back(k != nullptr ? k->name : p);
    if (k == nullptr) break;
  }
  return reg::JoinKeyPath(names);
}

std::string TypeName(DWORD type) {
  switch (type) {
    case plat::kREG_NONE: return "REG_NONE";
    case plat::kREG_SZ: return "REG_SZ";
    case plat::kREG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case plat::kREG_BINARY: return "REG_BINARY";
    case plat::kREG_DWORD: return "REG_DWORD";
    case 5: return "REG_DWORD_BIG_ENDIAN";
    case 6: return "REG_LINK";
    case plat::kREG_MULTI_SZ: return "REG_MULTI_SZ";
    case plat::kREG_QWORD: return "REG_QWORD";
    default: {
      char buf[24];
      std::snprintf(buf, sizeof(buf), "REG_0x%x", type);
      return buf;
    }
  }
}

uint64_t LittleEndian(const std::string& data) {
  uint64_t v = 0;
  for (size_t i = data.size(); i > 0; --i) v = (v << 8) | static_cast<unsigned char>(data[i - 1]);
  return v;
}

std::string ShowData(const reg::RegValue& v) {
  char buf[32];
  if ((v.type == plat::kREG_SZ || v.type == plat::kREG_EXPAND_SZ)) {
    return v.data.substr(0, v.data.find('\0'));
  }
  if (v.type == plat::kREG_DWORD && v.data.size() == 4) {
    std::snprintf(buf, sizeof(buf), "0x%x", static_cast<unsigned>(LittleEndian(v.data)));
    return buf;
  }
  if (v.type == plat::kREG_QWORD && v.data.size() == 8) {
    std::snprintf(buf, sizeof(buf), "0x%llx",
                  static_cast<unsigned long long>(LittleEndian(v.data)));
    return buf;
  }
  if (v.type == plat::kREG_MULTI_SZ) {
    std::string out;
    std::string rest = v.data;
    while (!rest.empty() && rest.back() == '\0') rest.pop_back();
    for (char c : rest) {
      if (c == '\0')
        out += "\\0";
      else
        out.push_back(c);
    }
    return out;
  }
  std::string out;
  for (char c : v.data) {
    std::snprintf(buf, sizeof(buf), "%02X", static_cast<unsigned char>(c));
    out += buf;
  }
  return out;
}

void ShowValue(const reg::RegValue& v) {
  std::cout << "    " << (v.name.empty() ? "(Default)" : v.name) << "    " << TypeName(v.type)
            << "    " << ShowData(v) << "\n";
}

void ShowKey(const reg::RegKey& key, const std::string& path, bool recursive) {
  std::cout << "\n" << path << "\n";
  for (const reg::RegValue& v : key.values) ShowValue(v);
  if (recursive) {
    for (const auto& sub : key.subkeys) ShowKey(*sub, path + "\\" + sub->name, true);
    return;
  }
  if (!key.subkeys.empty()) std::cout << "\n";
  for (const auto& sub : key.subkeys) std::cout << path << "\\" << sub->name << "\n";
}

// Finds a key for reading; a message on failure.
int Lookup(const std::vector<std::string>& parts, std::shared_ptr<const reg::RegKey>* holder,
           const reg::RegKey** key) {
  DWORD rc = plat::regstore::FindKey(parts, holder, key);
  if (rc == plat::kERROR_FILE_NOT_FOUND)
    return Fail("the key " + reg::JoinKeyPath(parts) + " does not exist");
  if (rc != plat::kERROR_SUCCESS) return Fail(SystemText(rc));
  return kOk;
}

int Query(const std::vector<std::string>& args) {
  Options o;
  int rc = ParseArgs(args, 1, " v ve s ", &o);
  std::vector<std::string> parts;
  if (rc == kOk) rc = ParseKey(o.positional[0], &parts);
  if (rc != kOk) return rc;
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* key;
  if ((rc = Lookup(parts, &holder, &key)) != kOk) return rc;
  std::string path = reg::JoinKeyPath(parts);
  if (o.haveValue) {
    const reg::RegValue* v = key->FindValue(o.valueName);
    if (v == nullptr) {
      return Fail("the value " + (o.valueName.empty() ? std::string("(Default)") : o.valueName) +
                  " does not exist in " + path);
    }
    std::cout << "\n" << path << "\n";
    ShowValue(*v);
    std::cout << "\n";
    return kOk;
  }
  ShowKey(*key, path, o.recursive);
  std::cout << "\n";
  return kOk;
}

bool ParseNumber(const std::string& s, uint64_t max, uint64_t* out) {
  if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
  errno = 0;
  char* end = nullptr;
  bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  unsigned long long v = std::strtoull(hex ? s.c_str() + 2 : s.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == nullptr || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The bytes of /d for a type; false when the data do not suit it.
bool EncodeData(DWORD type, const std::string& text, std::string* out, std::string* why) {
  out->clear();
  uint64_t n;
  switch (type) {
    case plat::kREG_SZ:
    case plat::kREG_EXPAND_SZ:
      *out = text;
      out->push_back('\0');
      return true;
    case plat::kREG_MULTI_SZ: {
      // Strings separated by the two characters \0, each stored terminated.
      size_t start = 0;
      while (start <= text.size()) {
        size_t sep = text.find("\\0", start);
        std::string item =
            text.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        if (!item.empty()) {
          *out += item;
          out->push_back('\0');
        }
        if (sep == std::string::npos) break;
        start = sep + 2;
      }
      out->push_back('\0');
      return true;
    }
    case plat::kREG_DWORD:
    case plat::kREG_QWORD: {
      bool dword = type == plat::kREG_DWORD;
      if (!ParseNumber(text, dword ? 0xFFFFFFFFull : ~0ull, &n)) {
        *why = "'" + text + "' is no " + (dword ? "32" : "64") + "-bit number";
        return false;
      }
      for (int i = 0; i < (dword ? 4 : 8); ++i)
        out->push_back(static_cast<char>((n >> (8 * i)) & 0xFF));
      return true;
    }
    case plat::kREG_BINARY: {
      if (text.size() % 2 != 0) {
        *why = "binary data need an even number of hex digits";
        return false;
      }
      for (size_t i = 0; i < text.size(); i += 2) {
        int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) {
          *why = "'" + text + "' is no hex digit string";
          return false;
        }
        out->push_back(static_cast<char>(high * 16 + low));
      }
      return true;
    }
    default: return false;
  }
}

bool TypeFromName(const std::string& name, DWORD* type) {
  static const std::pair<const char*, DWORD> kTypes[] = {{"REG_SZ", plat::kREG_SZ},
                                                         {"REG_EXPAND_SZ", plat::kREG_EXPAND_SZ},
                                                         {"REG_MULTI_SZ", plat::kREG_MULTI_SZ},
                                                         {"REG_DWORD", plat::kREG_DWORD},
                                                         {"REG_QWORD", plat::kREG_QWORD},
                                                         {"REG_BINARY", plat::kREG_BINARY}};
  for (const auto& t : kTypes) {
    if (reg::SameName(name, t.first)) {
      *type = t.second;
      return true;
    }
  }
  return false;
}

int Add(const std::vector<std::string>& args) {
  Options o;
  int rc = ParseArgs(args, 1, " v ve t d f ", &o);
  std::vector<std::string> parts;
  if (rc == kOk) rc = ParseKey(o.positional[0], &parts);
  if (rc != kOk) return rc;
  if (parts.size() < 2) return Usage("a key below the hive is needed");
  if (!o.haveValue && (o.haveType || o.haveData)) return Usage("/t and /d need /v NAME or /ve");
  DWORD type = plat::kREG_SZ;
  std::string bytes;
  if (o.haveValue) {
    if (!TypeFromName(o.type, &type)) return Usage("unknown type '" + o.type + "'");
    std::string why;
    if (!EncodeData(type, o.data, &bytes, &why)) return Usage(why);
  }
  std::string path = reg::JoinKeyPath(parts);
  std::string below = Below(parts);
  if (o.haveValue && !o.force) {
    std::shared_ptr<const reg::RegKey> holder;
    const reg::RegKey* key;
    if (plat::regstore::FindKey(parts, &holder, &key) == plat::kERROR_SUCCESS &&
        key->FindValue(o.valueName)) {
      std::string shown = o.valueName.empty() ? "(Default)" : o.valueName;
      if (!Confirm("Value " + shown + " exists, overwrite"))
        return Fail("the operation was cancelled");
    }
  }
  plat::HKEY key = nullptr;
  DWORD disposition = 0;
  LONG r =
      plat::RegCreateKeyExA(Hive(parts), below.c_str(), 0, nullptr, plat::kREG_OPTION_NON_VOLATILE,
                            plat::kKEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (r != plat::kERROR_SUCCESS)
    return Fail("cannot create " + path + ": " + SystemText(static_cast<DWORD>(r)));
  if (o.haveValue) {
    r = plat::RegSetValueExA(key, o.valueName.c_str(), 0, type,
                             reinterpret_cast<const plat::BYTE*>(bytes.data()),
                             static_cast<DWORD>(bytes.size()));
  }
  plat::RegCloseKey(key);
  if (r != plat::kERROR_SUCCESS)
    return Fail("cannot set the value in " + path + ": " + SystemText(static_cast<DWORD>(r)));
  Succeeded();
  return kOk;
}

int Delete(const std::vector<std::string>& args) {
  Options o;
  int rc = ParseArgs(args, 1, " v ve f ", &o);
  std::vector<std::string> parts;
  if (rc == kOk) rc = ParseKey(o.positional[0], &parts);
  if (rc != kOk) return rc;
  if (parts.size() < 2) return Fail("a whole hive cannot be deleted");
  std::string path = reg::JoinKeyPath(parts);
  std::string below = Below(parts);
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* found;
  if ((rc = Lookup(parts, &holder, &found)) != kOk) return rc;
  LONG r;
  if (o.haveValue) {
    std::string shown = o.valueName.empty() ? "(Default)" : o.valueName;
    if (found->FindValue(o.valueName) == nullptr)
      return Fail("the value " + shown + " does not exist in " + path);
    if (!o.force && !Confirm("Delete the registry value " + shown))
      return Fail("the operation was cancelled");
    plat::HKEY key = nullptr;
    r = plat::RegOpenKeyExA(Hive(parts), below.c_str(), 0, plat::kKEY_ALL_ACCESS, &key);
    if (r == plat::kERROR_SUCCESS) {
      r = plat::RegDeleteValueA(key, o.valueName.c_str());
      plat::RegCloseKey(key);
    }
  } else {
    if (!o.force && !Confirm("Permanently delete the registry key " + path)) {
      return Fail("the operation was cancelled");
    }
    r = plat::RegDeleteTreeA(Hive(parts), below.c_str());
  }
  if (r != plat::kERROR_SUCCESS)
    return Fail("cannot delete in " + path + ": " + SystemText(static_cast<DWORD>(r)));
  Succeeded();
  return kOk;
}

bool ReadFileBytes(const std::string& file, std::string* out, std::string* why) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *why = "cannot read " + file + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

int Import(const std::vector<std::string>& args) {
  Options o;
  int rc = ParseArgs(args, 1, " ", &o);
  if (rc != kOk) return rc;
  const std::string& file = o.positional[0];
  std::string bytes, why;
  if (!ReadFileBytes(file, &bytes, &why)) return Fail(why);
  std::vector<reg::RegOp> ops;
  reg::ParseError error;
  if (!reg::ParseRegText(bytes, &ops, &error)) {
    return Fail(file + ":" + std::to_string(error.line) + ": " + error.what +
                "; nothing was imported");
  }
  for (const reg::RegOp& op : ops) {
    std::string where = file + ":" + std::to_string(op.line) + ": ";
    if (plat::regstore::IsHostProvided(op.path)) {
      return Fail(where +
                  "HKEY_LOCAL_MACHINE\\HARDWARE is provided by the host and cannot be imported; "
                  "nothing was imported");
    }
    if (op.kind == reg::RegOp::kDeleteKey && op.path.size() < 2) {
      return Fail(where + "a whole hive cannot be deleted; nothing was imported");
    }
  }
  DWORD r = plat::regstore::Update([&](reg::RegKey* root) {
    reg::ApplyRegOps(ops, root);
    return plat::kERROR_SUCCESS;
  });
  if (r != plat::kERROR_SUCCESS) return Fail("cannot import " + file + ": " + SystemText(r));
  Succeeded();
  return kOk;
}

int Export(const std::vector<std::string>& args) {
  Options o;
  int rc = ParseArgs(args, 2, " y ", &o);
  std::vector<std::string> parts;
  if (rc == kOk) rc = ParseKey(o.positional[0], &parts);
  if (rc != kOk) return rc;
  const std::string& file = o.positional[1];
  std::shared_ptr<const reg::RegKey> holder;
  const reg::RegKey* key;
  if ((rc = Lookup(parts, &holder, &key)) != kOk) return rc;
  std::string text = reg::ExportRegText(*key, StoredPath(*holder, parts));
  if (file == "-") {
    std::cout << text << std::flush;
    return std::cout ? kOk : Fail("cannot write to standard output");
  }
  if (!o.overwrite && ::access(file.c_str(), F_OK) == 0 &&
      !Confirm("File " + file + " already exists. Overwrite")) {
    return Fail("the operation was cancelled");
  }
  // Written beside the target and renamed, so the file is whole or untouched.
  std::string temp = file + ".keld4-reg.tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      ::unlink(temp.c_str());
      return Fail("cannot write " + file + ": " + std::strerror(errno));
    }
  }
  if (std::rename(temp.c_str(), file.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    return Fail("cannot write " + file + ": " + std::strerror(err));
  }
  Succeeded();
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  std::string storePath;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (args.empty() && (a == "--help" || a == "-h" || a == "/?")) {
      std::cout << kUsageText;
      return kOk;
    }
    if (args.empty() && a == "--store") {
      if (i + 1 >= argc) return Usage("--store needs a file name");
      storePath = argv[++i];
    } else if (args.empty() && a.rfind("--store=", 0) == 0) {
      storePath = a.substr(8);
    } else {
      args.push_back(a);
    }
  }
  if (args.empty()) return Usage("no command given");
  // The same way any program names the store: read at every store access.
  if (!storePath.empty()) setenv("KELD4_REGISTRY", storePath.c_str(), 1);
  std::string command = args[0];
  args.erase(args.begin());
  if (reg::SameName(command, "query")) return Query(args);
  if (reg::SameName(command, "add")) return Add(args);
  if (reg::SameName(command, "delete")) return Delete(args);
  if (reg::SameName(command, "import")) return Import(args);
  if (reg::SameName(command, "export")) return Export(args);
  return Usage("unknown command '" + command + "'");
}
