// SPDX-License-Identifier: Apache-2.0
// The registry text format, as pure functions.
#include <gtest/gtest.h>

#include <random>

#include "platform/common/regfile.h"

namespace {

using namespace plat;
using reg::RegKey;
using reg::RegOp;

std::unique_ptr<RegKey> Parse(const std::string& text) {
  std::vector<RegOp> ops;
  reg::ParseError error;
  EXPECT_TRUE(reg::ParseRegText(text, &ops, &error)) << "line " << error.line << ": " << error.what;
  auto root = reg::NewRoot();
  reg::ApplyRegOps(ops, root.get());
  return root;
}

reg::ParseError ParseFails(const std::string& text) {
  std::vector<RegOp> ops;
  reg::ParseError error;
  EXPECT_FALSE(reg::ParseRegText(text, &ops, &error)) << text;
  EXPECT_TRUE(ops.empty());
  return error;
}

const RegKey* Key(const RegKey& root, const std::string& path) {
  std::vector<std::string> parts;
  std::string why;
  if (!reg::SplitKeyPath(path, &parts, &why)) return nullptr;
  return reg::FindPath(root, parts);
}

std::string Data(const RegKey& root, const std::string& key, const std::string& name,
                 DWORD* type = nullptr) {
  const RegKey* k = Key(root, key);
  if (k == nullptr) return "<no key>";
  const reg::RegValue* v = k->FindValue(name);
  if (v == nullptr) return "<no value>";
  if (type != nullptr) *type = v->type;
  return v->data;
}

void ExpectSameTree(const RegKey& a, const RegKey& b, const std::string& where) {
  ASSERT_TRUE(reg::SameName(a.name, b.name)) << where;
  EXPECT_EQ(a.name, b.name) << where;
  ASSERT_EQ(a.values.size(), b.values.size()) << where;
  for (size_t i = 0; i < a.values.size(); ++i) {
    EXPECT_EQ(a.values[i].name, b.values[i].name) << where;
    EXPECT_EQ(a.values[i].type, b.values[i].type) << where << " " << a.values[i].name;
    EXPECT_EQ(a.values[i].data, b.values[i].data) << where << " " << a.values[i].name;
  }
  ASSERT_EQ(a.subkeys.size(), b.subkeys.size()) << where;
  for (size_t i = 0; i < a.subkeys.size(); ++i) {
    ExpectSameTree(*a.subkeys[i], *b.subkeys[i], where + "\\" + a.subkeys[i]->name);
  }
}

std::string Utf16le(const std::string& utf8WithCrLf) {
  std::string out = "\xFF\xFE";
  out += reg::NarrowToUtf16le(utf8WithCrLf);
  return out;
}

TEST(RegFile, EveryValueKindSurvivesWriteAndParse) {
  auto root = reg::NewRoot();
  RegKey* k = root->FindSubkey(reg::kLocalMachine)->AddSubkey("SOFTWARE")->AddSubkey("Ostrel");
  RegKey* p = k->AddSubkey("KELD4")->AddSubkey("Parameter");
  p->SetValue("Text", kREG_SZ, std::string("192.0.2.10\0", 11));
  p->SetValue("Quotes \"and\" \\slashes\\", kREG_SZ, std::string("C:\\dir \"x\"\0", 11));
  p->SetValue("", kREG_SZ, std::string("default\0", 8));
  p->SetValue("Empty", kREG_SZ, std::string("\0", 1));
  p->SetValue("NoTerminator", kREG_SZ, "abc");
  p->SetValue("TwoLines", kREG_SZ, std::string("a\r\nb\0", 5));
  p->SetValue("NotUtf8", kREG_SZ, std::string("\xff\xfe\x80 \xc3\0", 6));
  p->SetValue("Utf8", kREG_SZ, std::string("gr\xc3\xbc\xc3\x9f \xf0\x9f\x98\x80\0", 12));
  p->SetValue("Dword", kREG_DWORD, std::string("\xca\xaf\0\0", 4));
  p->SetValue("ShortDword", kREG_DWORD, std::string("\x01\x02", 2));
  p->SetValue("Qword", kREG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8));
  p->SetValue("Expand", kREG_EXPAND_SZ, std::string("%SystemRoot%\\x\0", 15));
  p->SetValue("Multi", kREG_MULTI_SZ, std::string("one\0two\0\0", 9));
  p->SetValue("Binary", kREG_BINARY, std::string("\x00\x01\xfe\xff", 4));
  p->SetValue("EmptyBinary", kREG_BINARY, "");
  p->SetValue("None", kREG_NONE, "xyz");
  p->SetValue("OddType", 0x12345, "\x7f");
  std::string big(300, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  p->SetValue("Long", kREG_BINARY, big);
  k->AddSubkey("Empty key");
  root->FindSubkey(reg::kClassesRoot)
      ->AddSubkey("AppID")
      ->AddSubkey("{5B2E9A41}")
      ->SetValue("", kREG_SZ, std::string("keld4\0", 6));

  std::string text = reg::WriteRegText(*root);
  auto again = Parse(text);
  ExpectSameTree(*root, *again, "");
  // Writing the parsed tree gives the same text: the store file is stable.
  EXPECT_EQ(text, reg::WriteRegText(*again));
  // Readable where it can be, lines of at most 80 columns.
  EXPECT_NE(text.find("\"Text\"=\"192.0.2.10\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Dword\"=dword:0000afca\n"), std::string::npos) << text;
  EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\"Quotes \\\"and\\\" \\\\slashes\\\\\"=\"C:\\\\dir \\\"x\\\"\""),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\Empty key]\n"), std::string::npos)
      << text;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    EXPECT_LE(end - start, 80u) << text.substr(start, end - start);
    start = end + 1;
  }
}

TEST(RegFile, NamesCompareWithoutCaseAndKeepTheirSpelling) {
  auto root = Parse(
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Ostrel]\n\"PortNumber\"=dword:00000001\n\n"
      "[hkey_local_machine\\SOFTWARE\\OSTREL]\n\"portnumber\"=dword:00000002\n\"Other\"=\"x\"\n");
  const RegKey* k = Key(*root, "HKLM\\software\\ostrel");
  ASSERT_NE(k, nullptr);
  ASSERT_EQ(k->values.size(), 2u);
  EXPECT_EQ(k->name, "Ostrel");
  EXPECT_EQ(k->values[0].name, "PortNumber");
  EXPECT_EQ(k->values[0].data, std::string("\x02\0\0\0", 4));
  EXPECT_EQ(root->FindSubkey(reg::kLocalMachine)->subkeys.size(), 1u);
}

TEST(RegFile, ReadsWindowsUtf16ExportWithContinuedHexData) {
  // What regedit writes on Windows: UTF-16LE with a mark, CR LF, string data
  // of hex(2)/hex(7) values in UTF-16, long lists continued with a backslash.
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Ostrel\\KELD4\\Parameter]\r\n"
      "\"LocalIPAddress\"=\"10.1.2.3\"\r\n"
      "\"ServerType\"=\"Serveur \xc3\xa9t\xc3\xa9\"\r\n"
      "\"PortNumber\"=dword:0000afca\r\n"
      "\"LogPath\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\\\r\n"
      "  74,00,25,00,00,00\r\n"
      "\"Names\"=hex(7):61,00,00,00,e9,00,00,00,00,00\r\n"
      "\"Big\"=hex(b):01,00,00,00,00,00,00,80\r\n"
      "\"Raw\"=hex:de,ad,\\\r\n"
      "  be,ef\r\n";
  auto root = Parse(Utf16le(text));
  const std::string key = "HKLM\\SOFTWARE\\Ostrel\\KELD4\\Parameter";
  DWORD type = 0;
  EXPECT_EQ(Data(*root, key, "LocalIPAddress", &type), std::string("10.1.2.3\0", 9));
  EXPECT_EQ(type, kREG_SZ);
  EXPECT_EQ(Data(*root, key, "ServerType"), std::string("Serveur \xc3\xa9t\xc3\xa9\0", 14));
  EXPECT_EQ(Data(*root, key, "PortNumber"), std::string("\xca\xaf\0\0", 4));
  EXPECT_EQ(Data(*root, key, "LogPath", &type), std::string("%SystemRoot%\0", 13));
  EXPECT_EQ(type, kREG_EXPAND_SZ);
  EXPECT_EQ(Data(*root, key, "Names", &type), std::string("a\0\xc3\xa9\0\0", 6));
  EXPECT_EQ(type, kREG_MULTI_SZ);
  EXPECT_EQ(Data(*root, key, "Big", &type), std::string("\x01\0\0\0\0\0\0\x80", 8));
  EXPECT_EQ(type, kREG_QWORD);
  EXPECT_EQ(Data(*root, key, "Raw"), "\xde\xad\xbe\xef");
}

TEST(RegFile, ReadsRegedit4AndUtf8WithMark) {
  // REGEDIT4 keeps string data in narrow bytes.
  auto old = Parse(
      "REGEDIT4\r\n\r\n[HKEY_CLASSES_ROOT\\AppID\\x]\r\n\"A\"=hex(2):41,42,00\r\n@=\"d\"\r\n");
  EXPECT_EQ(Data(*old, "HKCR\\AppID\\x", "A"), std::string("AB\0", 3));
  EXPECT_EQ(Data(*old, "HKCR\\AppID\\x", ""), std::string("d\0", 2));
  auto marked = Parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKLM\\A]\n\"B\"=\"c\"\n");
  EXPECT_EQ(Data(*marked, "HKLM\\A", "B"), std::string("c\0", 2));
}

TEST(RegFile, CommentsBlanksAndLooseSpacing) {
  auto root = Parse(
      "; made by hand\n"
      "Windows Registry Editor Version 5.00\n"
      "   ; indented comment\n\n"
      "[HKEY_LOCAL_MACHINE\\A\\]   \n"
      "  \"N\" = dword:1 ; trailing comment\n"
      "\"Path\"=\"C:\\Windows\"\n"
      "\"H\"=hex: 1, 2 ,\\\n"
      "   ; a comment between continued lines\n"
      "  3\n");
  EXPECT_EQ(Data(*root, "HKLM\\A", "N"), std::string("\x01\0\0\0", 4));
  // A backslash before anything but \ or " stands for itself.
  EXPECT_EQ(Data(*root, "HKLM\\A", "Path"), std::string("C:\\Windows\0", 11));
  EXPECT_EQ(Data(*root, "HKLM\\A", "H"), "\x01\x02\x03");
}

TEST(RegFile, ImportDeletionsRemoveKeysAndValues) {
  auto root = Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKLM\\S\\Gone\\Deep]\n\"x\"=\"1\"\n"
      "[HKLM\\S\\Kept]\n\"drop\"=\"1\"\n\"keep\"=\"2\"\n@=\"d\"\n");
  std::vector<RegOp> ops;
  reg::ParseError error;
  ASSERT_TRUE(reg::ParseRegText(
      "Windows Registry Editor Version 5.00\n[-HKLM\\S\\gone]\n[-HKLM\\S\\NeverWas]\n"
      "[HKLM\\S\\Kept]\n\"DROP\"=-\n\"absent\"=-\n@=-\n",
      &ops, &error))
      << error.what;
  reg::ApplyRegOps(ops, root.get());
  EXPECT_EQ(Key(*root, "HKLM\\S\\Gone"), nullptr);
  EXPECT_EQ(Data(*root, "HKLM\\S\\Kept", "drop"), "<no value>");
  EXPECT_EQ(Data(*root, "HKLM\\S\\Kept", ""), "<no value>");
  EXPECT_EQ(Data(*root, "HKLM\\S\\Kept", "keep"), std::string("2\0", 2));
}

TEST(RegFile, MalformedTextNamesItsLine) {
  const std::string h = "Windows Registry Editor Version 5.00\n";
  struct Case {
    std::string text;
    int line;
    const char* what;
  } cases[] = {
      {"[HKLM\\A]\n", 1, "does not begin with"},
      {h + "\n[HKLM\\A]\n\"x\"=\"unterminated\n", 4, "not closed"},
      {h + "[HKLM\\A]\n\"x\"=dword:123456789\n", 3, "dword"},
      {h + "[HKLM\\A]\n\"x\"=dword:12g\n", 3, "dword"},
      {h + "[HKLM\\A]\n\"x\"=hex:1,,2\n", 3, "empty item"},
      {h + "[HKLM\\A]\n\"x\"=hex:123\n", 3, "two hex digits"},
      {h + "[HKLM\\A]\n\"x\"=hex(zz):00\n", 3, "hex(N)"},
      {h + "[HKLM\\A]\n\"x\"=hex:00,\\", 3, "past the end"},
      {h + "[HKLM\\A]\n\"x\"=word:1\n", 3, "unknown kind"},
      {h + "[HKLM\\A]\n\"x\" \"y\"\n", 3, "'=' expected"},
      {h + "[HKLM\\A]\n\"x\"=\"a\" b\n", 3, "after the value data"},
      {h + "\"x\"=\"a\"\n", 2, "outside a key section"},
      {h + "[-HKLM\\A]\n\"x\"=\"a\"\n", 3, "outside a key section"},
      {h + "[HKEY_CURRENT_USER\\A]\n", 2, "unsupported root key"},
      {h + "[HKLM\\\\A]\n", 2, "empty key name"},
      {h + "[HKLM\\A\n", 2, "must end with ']'"},
      {h + "[HKLM\\A]\ngarbage\n", 3, "unexpected text"},
      {h + std::string("[HKLM\\A]\n\"x\"=\"a\0\"\n", 17), 3, "zero byte"},
  };
  for (const Case& c : cases) {
    reg::ParseError error = ParseFails(c.text);
    EXPECT_EQ(error.line, c.line) << c.text;
    EXPECT_NE(error.what.find(c.what), std::string::npos) << c.text << " -> " << error.what;
  }
  EXPECT_EQ(ParseFails("\xFF\xFEW\0i").line, 1);  // odd UTF-16
}

TEST(RegFile, EmptyTextIsAnEmptyRegistry) {
  std::vector<RegOp> ops;
  reg::ParseError error;
  EXPECT_TRUE(reg::ParseRegText("", &ops, &error));
  EXPECT_TRUE(reg::ParseRegText("\n  \n", &ops, &error));
  EXPECT_TRUE(ops.empty());
}

TEST(RegFile, AnyByteStringSurvivesTheUtf16Trip) {
  std::mt19937 random(12345);
  for (int round = 0; round < 2000; ++round) {
    std::string bytes(random() % 24, '\0');
    for (char& c : bytes)
      c = static_cast<char>(random() % 4 == 0 ? 0x80 + random() % 0x80 : random() % 256);
    ASSERT_EQ(reg::Utf16leToNarrow(reg::NarrowToUtf16le(bytes)), bytes);
  }
  EXPECT_EQ(reg::NarrowToUtf16le("\xc3\xa9"), std::string("\xe9\0", 2));
  EXPECT_EQ(reg::NarrowToUtf16le("\xf0\x9f\x98\x80"), std::string("\x3d\xd8\x00\xde", 4));
  EXPECT_EQ(reg::NarrowToUtf16le("\xed\xa0\x80"),
            "\xed\xdc\xa0\xdc\x80\xdc");  // no UTF-8 surrogates
}

TEST(RegFile, KeyPathsAndHives) {
  std::vector<std::string> parts;
  std::string why;
  ASSERT_TRUE(reg::SplitKeyPath("hklm\\SOFTWARE\\Ostrel\\", &parts, &why));
  EXPECT_EQ(parts, (std::vector<std::string>{"HKEY_LOCAL_MACHINE", "SOFTWARE", "Ostrel"}));
  ASSERT_TRUE(reg::SplitKeyPath("HKEY_CLASSES_ROOT", &parts, &why));
  EXPECT_EQ(parts, (std::vector<std::string>{"HKEY_CLASSES_ROOT"}));
  EXPECT_FALSE(reg::SplitKeyPath("HKCU\\x", &parts, &why));
  EXPECT_FALSE(reg::SplitKeyPath("\\HKLM", &parts, &why));
  EXPECT_FALSE(reg::SplitKeyPath("", &parts, &why));
  EXPECT_EQ(reg::JoinKeyPath({"HKEY_LOCAL_MACHINE", "A", "B"}), "HKEY_LOCAL_MACHINE\\A\\B");
}

}  // namespace

TEST(RegTree, ManyEntriesAreFoundWithoutCaseThroughGrowthRemovalAndCopy) {
  RegKey key;
  for (int i = 0; i < 1000; ++i) {
    key.SetValue("Value" + std::to_string(i), kREG_DWORD, std::to_string(i));
    key.AddSubkey("Sub" + std::to_string(i));
  }
  key.SetValue("VALUE7", kREG_SZ, "seven");  // same name: replaced in place
  EXPECT_TRUE(key.RemoveValue("value3"));
  EXPECT_FALSE(key.RemoveValue("value3"));
  EXPECT_TRUE(key.RemoveSubkey("SUB3"));
  key.SetValue("value3", kREG_SZ, "again");  // back, at the end
  auto copy = key.Clone();
  key.Clear();
  EXPECT_EQ(key.FindValue("Value1"), nullptr);
  EXPECT_EQ(key.FindSubkey("Sub1"), nullptr);

  ASSERT_EQ(copy->values.size(), 1000u);
  ASSERT_EQ(copy->subkeys.size(), 999u);
  EXPECT_EQ(copy->values[3].name, "Value4");  // order kept around the removal
  EXPECT_EQ(copy->values.back().name, "value3");
  for (int i = 0; i < 1000; ++i) {
    std::string n = std::to_string(i);
    const reg::RegValue* v = copy->FindValue("vALUE" + n);
    ASSERT_NE(v, nullptr) << i;
    EXPECT_EQ(v->data, i == 7 ? "seven" : i == 3 ? "again" : n);
    RegKey* sub = copy->FindSubkey("sUB" + n);
    if (i == 3) {
      EXPECT_EQ(sub, nullptr);
    } else {
      ASSERT_NE(sub, nullptr) << i;
      EXPECT_EQ(sub->name, "Sub" + n);
    }
  }
  EXPECT_EQ(copy->AddSubkey("SUB10"), copy->FindSubkey("sub10"));
  EXPECT_EQ(copy->subkeys.size(), 999u);
}
