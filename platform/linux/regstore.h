// SPDX-License-Identifier: Apache-2.0
// The Linux registry store file behind the plat::Reg* calls, as a whole: for
// the Linux layer and for the operator tool (keld4-reg, built on Linux only),
// which needs changes of many values in one atomic step and a view of whole
// trees.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/common/regfile.h"

namespace plat::regstore {

// Store files larger than this are refused as corrupt, and so are writes
// that would make one.
constexpr size_t kMaxStoreBytes = 64u << 20;
// Mode of a store file that is created; an existing file keeps its own.
constexpr unsigned kStoreFileMode = 0644;

// The key at path (hive first) as the calls see it, the host's processor key
// included. kERROR_FILE_NOT_FOUND when it does not exist; on success *holder
// keeps the tree *key points into alive.
DWORD FindKey(const std::vector<std::string>& path, std::shared_ptr<const reg::RegKey>* holder,
              const reg::RegKey** key);

// Whether a key lies in the part of kHKEY_LOCAL_MACHINE the host provides
// (HARDWARE), which is read-only and never stored.
bool IsHostProvided(const std::vector<std::string>& path);

// The store file the calls use (the default, KELD4_REGISTRY, or a test's),
// and the default alone.
std::string StorePath();
std::string DefaultStorePath();

// One change of the store: under the exclusive lock, the file is read again,
// change runs on its tree, and when it answers kERROR_SUCCESS and the tree
// differs from the file, the file is replaced atomically. The answer is
// change's, or the failure of reading or writing the file.
DWORD Update(const std::function<DWORD(reg::RegKey* root)>& change);

}  // namespace plat::regstore
