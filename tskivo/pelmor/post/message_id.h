// Message-IDs and random senders, fresh for every attempt.
#pragma once

#include <string>

#include "common/platform.h"

namespace pelmor {

// 32 characters from "A".."F" and "a".."j", from a fresh UUID.
std::string makeIdText();
// "<" + makeIdText() + "@" + domain + ">"
std::string makeMessageId(const std::string& domain);
// "<" + 128 random bits in hexadecimal + "@" + domain + ">"
std::string makeRandomMessageId(const std::string& domain);
// name <user@domain.tld>, everything after "<" in lower case; name and
// user drawn from the whole alphabet.
std::string makeRandomSender(common::Clock& clock);
std::string randomChars(common::Clock& clock, int count, bool hyphens);

// A plausible address of nobody in particular: "Ilvane Korst <ilvane.korst@tebrin.net>".
std::string makePlausibleSender();
// A name that says nothing: 32 random hexadecimal digits.
std::string makeWireName();

}  // namespace pelmor
