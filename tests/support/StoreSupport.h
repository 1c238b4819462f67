// SPDX-License-Identifier: Apache-2.0
// The agent's store as the tests see it: registry export text, kept in the
// store file where the store is a file, and in the test's own registry key
// where the store is the system's registry.
#pragma once

#include <string>

namespace testsupport {

// True where the store is a file (once the test's store path is set).
bool StoreIsFile();

// Makes the store hold exactly what the export text says. Set the store path
// first: where the store is the registry, that path names the test's key.
void InstallStore(const std::string& path, const std::string& text);

// The store as export text: the file, or the test's keys exported.
std::string StoreText(const std::string& path);

}  // namespace testsupport
