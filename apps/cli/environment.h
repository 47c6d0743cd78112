#pragma once

// What the commands take from the process environment.

#include <optional>
#include <string>

namespace pellora::cli {

// PELLORA_PASSWORD when it is set and not empty.
std::optional<std::string> passwordFromEnvironment();

// Whether a PulseAudio (or PipeWire) server answers the user's default address.
bool soundServerAnswers();

}  // namespace pellora::cli
