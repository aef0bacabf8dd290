#include "message_id.h"

#include <cstdint>
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

std::string makeMessageId(const std::string& domain) { return "<" + makeIdText() + "@" + domain + ">"; }

namespace {

std::mt19937_64& generator() {
    thread_local std::mt19937_64 g{std::random_device{}()};
    return g;
}

std::string hex(int bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < bytes; i += 8) {
        std::uint64_t v = generator()();
        for (int k = 0; k < 16 && static_cast<int>(out.size()) < 2 * bytes; ++k, v >>= 4) out += digits[v & 15];
    }
    return out;
}

}  // namespace

std::string makeRandomMessageId(const std::string& domain) { return "<" + hex(16) + "@" + domain + ">"; }

std::string makePlausibleSender() {
    // Syllables make names that read like names.
    static const char* const kSyllables[] = {"ka", "lo", "mi", "ren", "tor", "vi", "sa", "del", "an", "bro",
                                             "cel", "dun", "el", "fa", "gri", "hol", "is", "jo", "mar", "nel",
                                             "or", "pi", "qui", "ros", "sten", "tu", "ul", "var", "wen", "zel"};
    std::uniform_int_distribution<int> pick(0, 29), length(2, 3);
    const auto word = [&] {
        std::string w;
        for (int i = length(generator()); i > 0; --i) w += kSyllables[pick(generator())];
        return w;
    };
    static const char* const kTop[] = {"com", "net", "org"};
    const std::string first = word(), last = word(), host = word();
    std::string name = first + " " + last;
    name[0] = static_cast<char>(name[0] - 32);
    name[first.size() + 1] = static_cast<char>(name[first.size() + 1] - 32);
    return name + " <" + first + "." + last + "@" + host + "." + kTop[pick(generator()) % 3] + ">";
}

std::string makeWireName() {
    // Letters and digits, 10 to 30 of them: one fixed shape (32 hexadecimal
    // digits) would itself mark every private posting.
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<int> length(10, 30), pick(0, static_cast<int>(sizeof kAlphabet) - 2);
    std::string out;
    for (int i = length(generator()); i > 0; --i) out += kAlphabet[pick(generator())];
    return out;
}


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
    // The whole alphabet: one from the letters a to j only stood out.
    std::string name;
    for (int i = 0; i < 8; ++i) name += common::randomLetters(1, generator()() & 1);
    const std::string user = common::randomLetters(6);
    const std::string domain = randomChars(clock, 7, true);
    const std::string top = common::randomLetters(3);
    std::string sender = name + " <" + user + "@" + domain + "." + top + ">";
    for (std::size_t i = sender.find('<'); i < sender.size(); ++i)
        if (sender[i] >= 'A' && sender[i] <= 'Z') sender[i] = static_cast<char>(sender[i] + 32);
    return sender;
}

}  // namespace pelmor
