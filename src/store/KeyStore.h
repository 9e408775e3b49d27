#pragma once

#include <QString>

#include <chrono>
#include <expected>
#include <functional>
#include <optional>

class QObject;

// The API keys, one secret-store entry per provider account, never in a file of ours.
//
// A key read is kept in memory until the store announces a change, it is saved, removed or
// forgotten, or six hours have passed, so that it is not asked for at every refresh.
//
// The secret store answers asynchronously: a locked keyring may show its own unlock prompt and
// wait for the user for as long as they like. So its operations take a completion, which runs
// exactly once, later, on the main thread; nothing here ever blocks the caller.
namespace creditgauge::KeyStore {

// The service every entry is filed under.
inline constexpr auto service = "creditgauge";

// Why a read could not tell whether a key is stored.
enum class Failure {
    Unavailable, // no secret store, or it reported an error
    Locked, // the entry is there, but the keyring stayed locked (the unlock prompt was dismissed)
    NoAnswer, // the store has not answered within the caller's deadline
    // Not yet answered because the store waits for its user: KWallet being set up by its
    // first-run wizard, or asking for the wallet's password. The read goes on.
    Waiting,
};

// What the user is told of a failure, in German.
QString message(Failure failure);

// The stored key, or nothing when none is stored (or it is empty or not valid UTF-8); a Failure
// when the store could not be asked.
using ReadResult = std::expected<std::optional<QString>, Failure>;
using ReadCompletion = std::function<void(ReadResult)>;
using SaveCompletion = std::function<void(bool)>;

// Reads the key stored for `account`, unchanged. With a deadline the completion gets NoAnswer
// if the store has not answered by then; the read itself goes on. A read for an account whose
// previous read is still waiting joins that one instead of queueing another behind it.
void read(const QString &account, ReadCompletion completion,
          std::optional<std::chrono::milliseconds> deadline = std::nullopt);

// Stores `key` unchanged (an existing entry is replaced). True only when the store accepted
// the write; a failed write leaves an existing entry as it was.
void save(const QString &key, const QString &account, SaveCompletion completion);

// Deletes `account`'s entry. True once it is gone, also when there was none; false when the
// store failed. A read asked for meanwhile gets what the store holds after the removal.
void remove(const QString &account, SaveCompletion completion);

// Reads `account`'s key from the store again next time, instead of the one read before (for
// instance after the provider refused it).
void forget(const QString &account);

// Calls `changed` (in `context`'s thread, for as long as it lives) whenever the secret store
// starts or restarts, announces a change of what it holds, or KWallet opens a wallet. A read
// that failed, waited or found no key may succeed now. Nothing where the store does not tell.
void watchService(QObject *context, std::function<void()> changed);

} // namespace creditgauge::KeyStore
