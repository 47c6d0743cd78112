#pragma once

// The wire test vectors (tests/data/wire-vectors.json), computed by an independent implementation of the
// same protocol, and a reader that turns their JSON message values into Messages.

#include <boost/json.hpp>

#include "core/message.h"

namespace pellora::test {

const boost::json::object& wireVectors();
Message messageFromJson(const boost::json::object& value);

}  // namespace pellora::test
