// png and svgPath of the public API (quillbank/aztec.hpp): the core's
// writers (raster.hpp), their options checked first.
#include <quillbank/aztec.hpp>

#include <algorithm>
#include <string>

#include "aztec_options.hpp"
#include "raster.hpp"

namespace quillbank::aztec {
namespace {

constexpr int kMaxBorder = 1000;

void checkBorder(int border) {
    if (border < 0 || border > kMaxBorder)
        throw Error(ErrorCode::InvalidOption,
                    "border is 0 to " + std::to_string(kMaxBorder) + " modules, not " + std::to_string(border));
}

void checkSize(int size) {
    if (size < 1 || size > kMaxPngSide)
        throw Error(ErrorCode::InvalidOption, "a grid of modules is 1 to " + std::to_string(kMaxPngSide) +
                                                  " modules on a side, not " + std::to_string(size));
}

}  // namespace

void checkPicture(const PngOptions& options, int size) {
    checkBorder(options.border);
    // Each factor is bounded before the product is formed.
    const long long side = (static_cast<long long>(size) + 2LL * options.border) * options.scale;
    if (options.scale < 1 || options.scale > kMaxPngSide || side > kMaxPngSide)
        throw Error(ErrorCode::InvalidOption,
                    "a PNG picture is at most " + std::to_string(kMaxPngSide) + " pixels on a side: scale " +
                        std::to_string(options.scale) + " is not 1 to " +
                        std::to_string(kMaxPngSide / std::max(1, size + 2 * options.border)) + " for this symbol");
    if (options.pixelsPerMetre && *options.pixelsPerMetre > 0x7FFFFFFFu)
        throw Error(ErrorCode::InvalidOption, "pixelsPerMetre is 0 to 2147483647, not " +
                                                  std::to_string(*options.pixelsPerMetre));
}

std::vector<std::uint8_t> pngOfModules(const std::uint8_t* modules, int size, const PngOptions& options) {
    PngColours colours;
    const PngOptions plain;
    if (options.dark != plain.dark || options.light != plain.light) {
        colours.greyscale = false;
        std::copy(options.dark.begin(), options.dark.end(), colours.dark);
        std::copy(options.light.begin(), options.light.end(), colours.light);
    }
    return pngFile(modules, size, options.scale, options.border, colours, options.pixelsPerMetre);
}

std::vector<std::uint8_t> png(const Symbol& symbol, const PngOptions& options) {
    checkPicture(options, symbol.size());
    return pngOfModules(symbol.modules().data(), symbol.size(), options);
}

std::string svgPath(const Symbol& symbol, int border) {
    checkBorder(border);
    return svgPathString(symbol.modules().data(), symbol.size(), border);
}

std::vector<std::uint8_t> png(const std::uint8_t* modules, int size, const PngOptions& options) {
    checkSize(size);
    checkPicture(options, size);
    return pngOfModules(modules, size, options);
}

std::string svgPath(const std::uint8_t* modules, int size, int border) {
    checkSize(size);
    checkBorder(border);
    return svgPathString(modules, size, border);
}

}  // namespace quillbank::aztec
