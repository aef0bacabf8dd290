// Message-IDs and random senders, fresh for every attempt.
#pragma once

#include <string>

#include "common/platform.h"

namespace pelmor {

// 32 characters from "A".."F" and "a".."j", from a fresh UUID.
std::string makeIdText();
// "<" + makeIdText() + "@" + host + ">"
std::string makeMessageId(const std::string& host);
// name <user@domain.tld>, everything after "<" in lower case.
std::string makeRandomSender(common::Clock& clock);
std::string randomChars(common::Clock& clock, int count, bool hyphens);

}  // namespace pelmor
