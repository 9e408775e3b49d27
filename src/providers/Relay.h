#pragma once

#include <QString>

#include <expected>

// An OpenAI-compatible relay (New API, One API and their forks) at the user's own address.
namespace creditgauge::Relay {

// The relay's base address from what the user entered, with or without a trailing "/v1" (as
// the relay's site gives it): HTTPS, or plain HTTP to this machine only; no user name, query or
// fragment. The base ends in neither "/v1" nor a slash. Otherwise the German reason, and
// nothing may be sent.
std::expected<QString, QString> baseAddress(const QString &entered);

} // namespace creditgauge::Relay
