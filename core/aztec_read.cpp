// read of the public API (quillbank/aztec.hpp): the core's reader
// (symbol_reader.hpp) on a grid of cells, its refusals worded as errors.
#include <quillbank/aztec.hpp>

#include <string>
#include <utility>

#include "aztec_options.hpp"
#include "symbol_reader.hpp"

namespace quillbank::aztec {
namespace {

// The widest grid read, in cells.
constexpr int kMaxGridSide = 1000000;

// Why the core could not read a grid, in words.
std::string whyUnreadable(ReadStatus status, const SymbolReading& reading) {
    switch (status) {
        case ReadStatus::NoFinder:
            return "no Aztec symbol found: no bullseye finder pattern with its orientation marks";
        case ReadStatus::ModeMessage:
            return "the symbol's mode message is damaged beyond what its check words repair";
        case ReadStatus::OutsideGrid:
            return "the mode message describes a symbol of " + std::to_string(reading.size) +
                   " modules a side, which reaches outside the picture: the symbol is cut off or its mode "
                   "message is damaged";
        case ReadStatus::TooDamaged:
            return "the symbol is damaged beyond what its " + std::to_string(reading.checkWords) +
                   " check words repair (at most " + std::to_string(reading.checkWords / 2) + " wrong or " +
                   std::to_string(reading.checkWords) +
                   " unreadable codewords); nothing is returned that could not be checked";
        default:
            return "the symbol's repaired data words are not a well-formed Aztec data stream";
    }
}

Reading publicReading(SymbolReading&& read) {
    Reading reading;
    DecodedStream& stream = read.stream;
    reading.data = std::move(stream.data);
    for (const auto& [position, eci] : stream.ecis) reading.ecis.push_back(Flag::eciAt(position, eci));
    reading.gs1 = stream.gs1;
    reading.readerInit = read.readerInit;
    if (stream.inSequence) reading.sequence = SequencePart{stream.position, stream.count, std::move(stream.id)};
    reading.compact = read.compact;
    reading.layers = read.layers;
    if (read.rune >= 0) reading.rune = read.rune;
    reading.corrected = read.corrected;
    reading.size = read.size;
    reading.dataWords = read.dataWords;
    reading.checkWords = read.checkWords;
    return reading;
}

}  // namespace

Reading read(const std::uint8_t* cells, int width, int height) {
    if (width < 1 || height < 1 || width > kMaxGridSide || height > kMaxGridSide)
        throw invalid("a grid is 1 to " + std::to_string(kMaxGridSide) + " cells on a side, not " +
                      std::to_string(width) + "x" + std::to_string(height));
    ModuleGrid grid;
    grid.width = width;
    grid.height = height;
    grid.cells.assign(cells, cells + static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (std::uint8_t cell : grid.cells)
        if (cell > static_cast<std::uint8_t>(Cell::Unreadable))
            throw invalid("a cell is 0 (light), 1 (dark) or 2 (unreadable), not " + std::to_string(cell));
    SymbolReading reading;
    const ReadStatus status = readSymbol(grid, reading);
    if (status != ReadStatus::Ok) throw Error(ErrorCode::Unreadable, whyUnreadable(status, reading));
    return publicReading(std::move(reading));
}

}  // namespace quillbank::aztec
