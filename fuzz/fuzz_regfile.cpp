// SPDX-License-Identifier: Apache-2.0
// The registry store's file format, fed arbitrary bytes. The store rewrites
// its whole file on every change, so whatever tree it ever read must come
// back from the text it writes: write -> parse -> apply -> write gives the
// same text and the same tree, and a subtree exported alone reads back whole.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/regfile.h"

namespace {

using plat::reg::ParseError;
using plat::reg::RegKey;
using plat::reg::RegOp;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_regfile: %s\n%s\n", what, detail.c_str());
  std::abort();
}

// Names, values, types, data and order, exactly.
bool SameTree(const RegKey& a, const RegKey& b) {
  if (a.name != b.name || a.values.size() != b.values.size() ||
      a.subkeys.size() != b.subkeys.size()) {
    return false;
  }
  for (size_t i = 0; i < a.values.size(); ++i) {
    const auto& x = a.values[i];
    const auto& y = b.values[i];
    if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
  }
  for (size_t i = 0; i < a.subkeys.size(); ++i) {
    if (!SameTree(*a.subkeys[i], *b.subkeys[i])) return false;
  }
  return true;
}

// Parses text the store itself wrote; that must never fail.
std::unique_ptr<RegKey> Reread(const std::string& text, const char* what) {
  std::vector<RegOp> ops;
  ParseError error;
  if (!plat::reg::ParseRegText(text, &ops, &error)) {
    Fail(what, "line " + std::to_string(error.line) + ": " + error.what + "\n" + text);
  }
  auto root = plat::reg::NewRoot();
  plat::reg::ApplyRegOps(ops, root.get());
  return root;
}

size_t CountLines(std::string_view text) {
  size_t n = 1;
  for (char c : text) n += c == '\n' ? 1 : 0;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(size > 0 ? reinterpret_cast<const char*>(data) : "", size);

  std::vector<RegOp> ops;
  ParseError error;
  if (!plat::reg::ParseRegText(bytes, &ops, &error)) {
    if (!ops.empty()) Fail("a failed parse left steps behind", "");
    // The error names a line of the file (a UTF-16 file has at most half as
    // many lines as bytes, so the byte count bounds it either way).
    if (error.line < 1 || static_cast<size_t>(error.line) > CountLines(bytes)) {
      Fail("parse error on a line the file does not have", std::to_string(error.line));
    }
    if (error.what.empty()) Fail("parse error without a reason", "");
    return 0;
  }

  auto first = plat::reg::NewRoot();
  plat::reg::ApplyRegOps(ops, first.get());
  // A copy is the same tree (the store edits copies and compares them with
  // what it read to decide whether to write).
  if (!SameTree(*first, *first->Clone())) Fail("a copy of the tree differs from it", "");

  const std::string text1 = plat::reg::WriteRegText(*first);
  auto second = Reread(text1, "the store cannot read the text it wrote");
  if (!SameTree(*first, *second)) Fail("the tree changed on its way through the text", text1);
  const std::string text2 = plat::reg::WriteRegText(*second);
  if (text1 != text2) Fail("writing the tree again gave other text", text1 + "----\n" + text2);

  // Each hive exported alone, as the operator tool shows one key, reads back
  // into the same subtree.
  for (const auto& hive : first->subkeys) {
    const std::string part = plat::reg::ExportRegText(*hive, hive->name);
    auto back = Reread(part, "the store cannot read a key it exported");
    const RegKey* again = plat::reg::FindPath(*back, {hive->name});
    if (again == nullptr || !SameTree(*hive, *again))
      Fail("an exported key reads back otherwise", part);
  }
  return 0;
}
