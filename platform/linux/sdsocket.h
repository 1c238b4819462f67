// SPDX-License-Identifier: Apache-2.0
// Internal to the Linux layer: the two datagram protocols systemd documents
// for services, spoken directly so the agent needs no library for them.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace plat::detail {

// Sends one state report ("READY=1\nSTATUS=...") to the socket named by
// NOTIFY_SOCKET: a path, or an abstract name written with a leading '@'.
// Answers false when no socket is named or the send fails.
bool NotifyServiceManager(std::string_view text);

// The journal's native socket, or the path in KELD4_JOURNAL_SOCKET when set
// (a stand-in the tests bind).
std::string JournalSocketPath();

// One journal entry as KEY=VALUE fields; a value with a newline goes in the
// length-prefixed form, an entry too big for one datagram in a sealed memory
// file passed along the socket. Answers false when the journal cannot be
// reached (errno says why).
bool SendToJournal(const std::vector<std::pair<std::string_view, std::string_view>>& fields);

// The datagram SendToJournal sends, built on its own so it can be checked.
std::string JournalDatagram(
    const std::vector<std::pair<std::string_view, std::string_view>>& fields);

}  // namespace plat::detail
