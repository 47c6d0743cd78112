#pragma once

// What the commands take from the process environment.

#include <optional>
#include <string>

#include "core/relay_client.h"

namespace pellora::cli {

// PELLORA_PASSWORD when it is set and not empty.
std::optional<std::string> passwordFromEnvironment();

// Why the relay is not used when its URL is plain http:// to another machine, and how to allow it; nullopt
// when it is used.
std::optional<std::string> plainRelayRefusal(const RelayClient& client);

// Whether a PulseAudio (or PipeWire) server answers the user's default address.
bool soundServerAnswers();

}  // namespace pellora::cli
