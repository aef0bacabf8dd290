#include "encoder.h"

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>

#include "crc32_fold.h"
#include "kelvo_exception.h"
#include "platform.h"
#include "read_fully.h"

namespace pelmor {

std::string wireSafeName(std::string_view name) {
    std::string out(name);
    // Every C0 control and DEL: a TAB or ESC in a file name must not reach a
    // header or a =ybegin line any more than CR or LF.
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    return out;
}

std::uint32_t crc32Update(std::uint32_t crc, const void* data, std::size_t length) {
    static const bool fold = crcfold::supported();
    if (fold && length >= 256) return crcfold::update(crc, static_cast<const unsigned char*>(data), length);
    return libdeflate_crc32(crc, data, length);
}

Encoder::Encoder(const std::string& path, int lines) : path_(path), lines_(lines) {
    const auto cut = path.find_last_of("\\/");
    name_ = wireSafeName(cut == std::string::npos ? path : path.substr(cut + 1));
    const auto entry = statPath(path);
    size_ = entry ? static_cast<std::uint32_t>(entry->size) : 0;
}

long long Encoder::readAt(std::uint64_t offset, unsigned char* into, std::size_t length) const {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const long long got = readFully(fd, into, length, offset);
    close(fd);
    return got;
}

std::unique_ptr<Encoder> makeEncoder(int code, int lines, const std::string& path) {
    switch (code) {
        case 0:
            return std::make_unique<TextEncoder>(path, lines);
        case 1:
            return std::make_unique<UuEncoder>(path, lines);
        case 2:
            return std::make_unique<YencEncoder>(path, lines);
        default:
            return nullptr;
    }
}

}  // namespace pelmor
