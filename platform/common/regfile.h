// SPDX-License-Identifier: Apache-2.0
// The registry export text format ("Windows Registry Editor Version 5.00"
// files) and the registry as a tree in memory: the Linux store's file, and
// how the tests on either system and the operator tool read and write a
// store. Pure functions over text, no file access, so that the parser can be
// fed anything.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace plat::reg {

// The two hives the store keeps.
inline constexpr const char* kLocalMachine = "HKEY_LOCAL_MACHINE";
inline constexpr const char* kClassesRoot = "HKEY_CLASSES_ROOT";

// Names compare without regard to ASCII case; other bytes compare exactly.
bool SameName(std::string_view a, std::string_view b);

struct RegValue {
  std::string name;  // empty: the key's default value (@)
  DWORD type = kREG_NONE;
  std::string data;  // the bytes as the narrow-character calls see them
};

// Positions of named entries, found by name without regard to ASCII case:
// open addressing over (hash, position) pairs, so an index costs no
// allocation per entry and copies as one block.
class NameIndex {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  // The position whose name (nameAt(position)) matches, or kNone.
  template <class NameAt>
  size_t Find(std::string_view name, NameAt nameAt) const {
    if (slots_.empty()) return kNone;
    uint32_t hash = Hash(name);
    size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.position == 0) return kNone;
      if (slot.hash == hash && SameName(nameAt(slot.position - 1), name)) return slot.position - 1;
    }
  }
  // Adds a name that is not in the index yet.
  void Insert(std::string_view name, size_t position);
  void Clear();

 private:
  struct Slot {
    uint32_t hash;
    uint32_t position;  // one more than the entry's position; 0 marks a free slot
  };
  static uint32_t Hash(std::string_view name);
  void Place(Slot slot);
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

// A key's values and subkeys keep their order (the file's) and are found
// through an index by folded name, so loading or changing a key with many
// entries stays linear. Read values and subkeys freely; change them only
// through the calls, which keep the index.
struct RegKey {
  std::string name;  // stored case
  std::vector<RegValue> values;
  std::vector<std::unique_ptr<RegKey>> subkeys;

  RegKey* FindSubkey(std::string_view subName) const;
  // The subkey of that name, added at the end if there is none.
  RegKey* AddSubkey(std::string_view subName);
  // Appends a subkey whose name no other subkey has.
  void AdoptSubkey(std::unique_ptr<RegKey> key);
  bool RemoveSubkey(std::string_view subName);
  const RegValue* FindValue(std::string_view valueName) const;
  void SetValue(std::string_view valueName, DWORD type, std::string data);
  bool RemoveValue(std::string_view valueName);
  // Every value and subkey gone.
  void Clear();
  std::unique_ptr<RegKey> Clone() const;

 private:
  void ReindexValues();
  void ReindexSubkeys();
  NameIndex valueAt_;
  NameIndex subkeyAt_;
};

// A tree whose root (no name) holds both hives, even when they are empty.
std::unique_ptr<RegKey> NewRoot();
// The key at the end of a path below the root (hive first), or null.
const RegKey* FindPath(const RegKey& root, const std::vector<std::string>& path);
RegKey* FindPath(RegKey& root, const std::vector<std::string>& path);

// "HKLM", "HKEY_LOCAL_MACHINE", "hkey_local_machine" -> "HKEY_LOCAL_MACHINE";
// the same for HKCR. Empty when the name is no hive the store keeps.
std::string CanonicalHive(std::string_view name);
// Splits "HIVE\A\B" (one trailing backslash tolerated) into its names, the
// hive in canonical spelling. False on an unknown hive or an empty name.
bool SplitKeyPath(std::string_view path, std::vector<std::string>* parts, std::string* error);
std::string JoinKeyPath(const std::vector<std::string>& parts);
// A key name the text format can carry: not empty, no backslash, no line break.
bool IsValidKeyName(std::string_view name);
// A value name the text format can carry: no line break.
bool IsValidValueName(std::string_view name);

// One step of a parsed file, in file order.
struct RegOp {
  enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue };
  Kind kind = kCreateKey;
  std::vector<std::string> path;  // hive first
  RegValue value;                 // kSetValue: all of it; kDeleteValue: the name
  int line = 0;
};

struct ParseError {
  int line = 0;
  std::string what;
};

// Parses a whole file: UTF-8 (with or without byte-order mark), UTF-16 with a
// byte-order mark as Windows' own export writes it, or "REGEDIT4" text. In a
// version 5.00 file the hex data of string types (hex(1), hex(2), hex(7)) is
// UTF-16LE and is turned into UTF-8, which is what the narrow calls answer.
bool ParseRegText(std::string_view bytes, std::vector<RegOp>* ops, ParseError* error);
// Applies parsed steps to a tree in order ([-KEY] removes the key and all
// below it, "Name"=- removes one value; removing what is absent is no error).
void ApplyRegOps(const std::vector<RegOp>& ops, RegKey* root);

// The whole tree as a version 5.00 file in UTF-8. Every key and value is kept;
// parsing the text gives the same tree again.
std::string WriteRegText(const RegKey& root);
// One key with everything below it, sections named from fullPath.
std::string ExportRegText(const RegKey& key, const std::string& fullPath);

// Text conversions of the format, exposed for tests: narrow bytes to UTF-16LE
// and back. Bytes that are not UTF-8 travel as lone surrogates U+DC80..U+DCFF,
// so any byte string survives the trip.
std::string NarrowToUtf16le(std::string_view narrow);
std::string Utf16leToNarrow(std::string_view utf16);

}  // namespace plat::reg
