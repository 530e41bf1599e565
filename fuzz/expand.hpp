// A short spelling of long documents for the reader's fuzzers. Their inputs
// are a few kilobytes, while the reader's memory limits (slabs mapped from
// 256 KB, objects given slabs of their own, slabs of 1 MB) are met only by
// long attribute runs and large documents. Up to 4 MB: the huge-page slabs
// of documents from 16 MB on would make a run too slow to fuzz, and the
// native tests hold them. The bytes are copied as they are, except:
//   0xFE    marks where the group to repeat starts (the output's start before any mark);
//   0xFF k  repeats, ((k & 15) + 1) << (3 * ((k >> 4) & 7)) more times, the last
//           byte written (k < 0x80) or the group since the mark (k >= 0x80).
// Neither byte occurs in UTF-8, so no well-formed document needs them. The
// output stops growing at `limit` bytes.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace arbolite::fuzz {

inline constexpr std::size_t kMaxExpanded = std::size_t{4} << 20;

inline std::string expand(const std::uint8_t* data, std::size_t size, std::size_t limit = kMaxExpanded) {
    std::string out;
    std::size_t mark = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t c = data[i];
        if (c == 0xFE) {
            mark = out.size();
            continue;
        }
        if (c != 0xFF || i + 1 == size) {
            if (out.size() < limit) out.push_back(static_cast<char>(c));
            continue;
        }
        const std::uint8_t k = data[++i];
        const std::size_t times = std::size_t((k & 15) + 1) << (3 * ((k >> 4) & 7));
        if (k < 0x80) {
            if (!out.empty()) out.append(std::min(times, limit - std::min(limit, out.size())), out.back());
            continue;
        }
        const std::size_t len = out.size() - mark;
        if (len == 0) continue;
        const std::size_t fit = (limit - std::min(limit, out.size())) / len;
        const std::size_t copies = std::min(times, fit);
        out.reserve(out.size() + copies * len);  // no reallocation below: the group is read from `out` itself
        for (std::size_t r = 0; r < copies; ++r) out.append(out.data() + mark, len);
    }
    return out;
}

}  // namespace arbolite::fuzz
