#pragma once

#include <QString>

#include <functional>
#include <optional>

// The API keys, one secret-store entry per provider account, never in a file of ours.
//
// The secret store answers asynchronously: a locked keyring may show its own unlock prompt and
// wait for the user for as long as they like. So both operations take a completion, which runs
// exactly once, later, on the main thread; nothing here ever blocks the caller.
namespace creditgauge::KeyStore {

// The service every entry is filed under.
inline constexpr auto service = "creditgauge";

using ReadCompletion = std::function<void(std::optional<QString>)>;
using SaveCompletion = std::function<void(bool)>;

// The key stored for `account`, unchanged; nothing when there is none, when it is empty or not
// valid UTF-8, or when the store is missing, locked or refuses. A read for an account whose
// previous read is still waiting joins that one instead of queueing another behind it.
void read(const QString &account, ReadCompletion completion);

// Stores `key` unchanged (an existing entry is replaced). True only when the store accepted
// the write; a failed write leaves an existing entry as it was.
void save(const QString &key, const QString &account, SaveCompletion completion);

} // namespace creditgauge::KeyStore
