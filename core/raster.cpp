#include "raster.hpp"

#include <zlib.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>

namespace quillbank::aztec {

std::vector<uint8_t> pngScanlines(const uint8_t* modules, int size, int scale, int border,
                                  bool darkBit) {
    const size_t width = static_cast<size_t>(size + 2 * border) * static_cast<size_t>(scale);
    const size_t rowBytes = 1 + (width + 7) / 8;
    std::vector<uint8_t> image(rowBytes * width, 0);  // zeros: the Up filter's "same as above"
    const uint8_t lightByte = darkBit ? 0x00 : 0xFF;
    const size_t borderPixels = static_cast<size_t>(border) * static_cast<size_t>(scale);

    std::vector<uint8_t> row(rowBytes);
    size_t at = 0;
    // Writes `row` once with filter 0, then `repeats` times as Up rows.
    auto emit = [&](size_t repeats) {
        std::memcpy(&image[at], row.data(), rowBytes);
        at += rowBytes;
        for (size_t r = 0; r < repeats; ++r, at += rowBytes) image[at] = 2;
    };
    std::fill(row.begin(), row.end(), lightByte);
    row[0] = 0;
    if (borderPixels > 0) emit(borderPixels - 1);
    for (int y = 0; y < size; ++y) {
        std::fill(row.begin() + 1, row.end(), lightByte);
        const uint8_t* line = modules + static_cast<size_t>(y) * static_cast<size_t>(size);
        size_t pixel = borderPixels;
        for (int x = 0; x < size; ++x) {
            if (line[x]) {
                for (int s = 0; s < scale; ++s, ++pixel) row[1 + pixel / 8] ^= static_cast<uint8_t>(0x80u >> (pixel % 8));
            } else {
                pixel += static_cast<size_t>(scale);
            }
        }
        // Bits past the last pixel keep the light value; PNG ignores them.
        emit(static_cast<size_t>(scale) - 1);
    }
    std::fill(row.begin() + 1, row.end(), lightByte);
    if (borderPixels > 0) emit(borderPixels - 1);
    return image;
}

namespace {

// A thread's zlib compressor, set up on first use and reset for each picture.
class Compressor {
public:
    ~Compressor() {
        if (ready_) deflateEnd(&stream_);
    }

    std::vector<uint8_t> compress(const std::vector<uint8_t>& data) {
        if (!ready_) {
            stream_ = z_stream{};
            // Memory level 6: run-length matching uses no hash table, and a
            // smaller one costs less to clear on each reset; its blocks of
            // 4096 symbols hold a small symbol's picture whole.
            if (deflateInit2(&stream_, 9, Z_DEFLATED, 15, 6, Z_RLE) != Z_OK) throw std::bad_alloc();
            ready_ = true;
        } else if (deflateReset(&stream_) != Z_OK) {
            throw std::bad_alloc();
        }
        std::vector<uint8_t> out(deflateBound(&stream_, static_cast<uLong>(data.size())));
        stream_.next_in = const_cast<Bytef*>(data.data());
        stream_.avail_in = static_cast<uInt>(data.size());
        stream_.next_out = out.data();
        stream_.avail_out = static_cast<uInt>(out.size());
        // deflateBound leaves room for everything: one call finishes.
        if (deflate(&stream_, Z_FINISH) != Z_STREAM_END) throw std::bad_alloc();
        out.resize(stream_.total_out);
        return out;
    }

private:
    z_stream stream_{};
    bool ready_ = false;
};

}  // namespace

std::vector<uint8_t> pngImageData(const uint8_t* modules, int size, int scale, int border, bool darkBit) {
    thread_local Compressor compressor;
    return compressor.compress(pngScanlines(modules, size, scale, border, darkBit));
}

std::string svgPath(const uint8_t* modules, int size, int border) {
    std::string path;
    // "M{x} {y}h{w}v1h-{w}z": numbers by to_chars, not a format string per run.
    char command[64];
    auto put = [&command](char* at, int value) { return std::to_chars(at, command + sizeof command, value).ptr; };
    for (int y = 0; y < size; ++y) {
        const uint8_t* line = modules + static_cast<size_t>(y) * static_cast<size_t>(size);
        for (int x = 0; x < size;) {
            if (!line[x]) {
                ++x;
                continue;
            }
            int end = x;
            while (end < size && line[end]) ++end;
            char* at = command;
            *at++ = 'M';
            at = put(at, x + border);
            *at++ = ' ';
            at = put(at, y + border);
            *at++ = 'h';
            at = put(at, end - x);
            at = std::copy_n("v1h-", 4, at);
            at = put(at, end - x);
            *at++ = 'z';
            path.append(command, static_cast<size_t>(at - command));
            x = end;
        }
    }
    return path;
}

}  // namespace quillbank::aztec
