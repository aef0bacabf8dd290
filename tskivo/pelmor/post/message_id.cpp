#include "message_id.h"

#include <random>

namespace pelmor {

std::string makeIdText() {
    std::string out;
    for (char c : common::uuidText()) {
        if (c == '-') continue;
        if (c >= '0' && c <= '9') out += static_cast<char>(c + 49);
        else out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
    return out;
}

std::string makeMessageId(const std::string& host) { return "<" + makeIdText() + "@" + host + ">"; }

std::string randomChars(common::Clock& clock, int count, bool hyphens) {
    std::minstd_rand random(clock.tickMs());
    std::string out;
    while (static_cast<int>(out.size()) < count) {
        const auto c = static_cast<signed char>((random() + 65) % 256);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (hyphens && c == '-')) out += c;
    }
    return out;
}

std::string makeRandomSender(common::Clock& clock) {
    const std::string name = makeIdText().substr(0, 8);
    const std::string user = makeIdText().substr(0, 6);
    const std::string domain = randomChars(clock, 7, true);
    const std::string top = makeIdText().substr(0, 3);
    std::string sender = name + " <" + user + "@" + domain + "." + top + ">";
    for (std::size_t i = sender.find('<'); i < sender.size(); ++i)
        if (sender[i] >= 'A' && sender[i] <= 'Z') sender[i] = static_cast<char>(sender[i] + 32);
    return sender;
}

}  // namespace pelmor
