// Plain text bodies: the file as it is, in one part.
#include <cstring>

#include "encoder.h"
#include "kelvo_exception.h"

namespace pelmor {

TextEncoder::TextEncoder(const std::string& path, int lines) : Encoder(path, lines) { parts_ = 1; }

std::size_t TextEncoder::encodedSizeBound() const { return static_cast<std::size_t>(size_) + 1; }

bool TextEncoder::encodePart(int n, char* buffer, std::size_t bufferSize, int /*total*/) {
    if (bufferSize < static_cast<std::size_t>(size_) + 1 || n != 1) return false;
    const long long got = readAt(0, reinterpret_cast<unsigned char*>(buffer), size_);
    if (got < 0) return false;
    if (static_cast<std::uint64_t>(got) < size_) throw Kelvo_Exception(0, "Error while reading text file");
    buffer[size_] = '\0';
    // A NUL inside the file ends the body there.
    encodedLength_ = std::strlen(buffer);
    return true;
}

}  // namespace pelmor
