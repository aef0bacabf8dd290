#include "encoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/utf8.h"
#include "common/platform.h"
#include "common/read_fully.h"

namespace pelmor {

std::string wireSafeName(std::string_view name) {
    std::string out(name);
    // Every C0 control and DEL: a TAB or ESC in a file name must not reach a
    // header or a =ybegin line any more than CR or LF.
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '_';
    return common::toUtf8(out);  // as the subject has it (see postedName)
}

Encoder::Encoder(const std::string& path, int lines) : path_(path), lines_(lines) {
    const auto cut = path.find_last_of("\\/");
    name_ = wireSafeName(cut == std::string::npos ? path : path.substr(cut + 1));
    struct stat st {};
    const bool found = !path.empty() && stat(path.c_str(), &st) == 0;
    size_ = found ? static_cast<std::uint64_t>(st.st_size) : 0;
    modified_ = found ? st.st_mtim : timespec{};
}

void Encoder::setName(const std::string& name) { name_ = wireSafeName(name); }

std::uint64_t Encoder::partEnd(int n) const {
    const std::uint64_t end = partBegin(n) + bytesPerPart();
    return end < size_ ? end : size_;
}

long long Encoder::readAt(std::uint64_t offset, unsigned char* into, std::size_t length) {
    const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    // A file written to while it is posted would go out as a mix of two
    // files (or as short parts claiming their whole ranges): none of it more.
    struct stat st {};
    if (fstat(fd, &st) != 0 || static_cast<std::uint64_t>(st.st_size) != size_ ||
        st.st_mtim.tv_sec != modified_.tv_sec || st.st_mtim.tv_nsec != modified_.tv_nsec) {
        changed_ = true;
        close(fd);
        return -1;
    }
    const long long got = common::readFully(fd, into, length, offset);
    close(fd);
    if (got >= 0 && static_cast<std::size_t>(got) < length) {
        changed_ = true;  // shorter than it was: cut while it was read
        return -1;
    }
    return got;
}

std::unique_ptr<Encoder> makeEncoder(int code, int lines, const std::string& path, std::optional<std::uint32_t> fileCrc) {
    switch (code) {
        case 0:
            return std::make_unique<TextEncoder>(path, lines);
        case 1:
            return std::make_unique<UuEncoder>(path, lines);
        case 2:
            return std::make_unique<YencEncoder>(path, lines, fileCrc);
        default:
            return nullptr;
    }
}

int partCountFor(int code, int lines, std::uint64_t size) {
    const std::uint64_t perPart = code == 2   ? static_cast<std::uint64_t>(lines) * YencEncoder::kLineLength
                                  : code == 1 ? static_cast<std::uint64_t>(lines) * UuEncoder::kBytesPerLine
                                              : 0;
    if (code == 0) return 1;
    if (perPart == 0) return 0;
    return static_cast<int>(size / perPart + (size % perPart ? 1 : 0));
}

}  // namespace pelmor
