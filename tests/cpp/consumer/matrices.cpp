// Reads cases from standard input, one a line, and prints their symbols.
//
//   make [OPTION...] HEX                 one symbol of the message HEX
//   many THREADS [OPTION...] HEX,HEX...  a batch, one result a message
//   pngs THREADS [OPTION...] HEX,HEX...  pngMany: "png HEX" or an error a message
//   jobs THREADS [OPTION...] JOB,JOB...  makeMany of jobs; JOB is HEX, then /OPTION for
//                                        each option of its own (stream=BITS:HEX lays out
//                                        that stream), added to the batch's
//   jobpngs THREADS [OPTION...] JOB,...  pngMany of jobs
//   stream [OPTION...] HEX               shortestStream: "stream BITS HEX"
//   fewest WIDTH [OPTION...] HEX         fewestCodewordsStream: "stream BITS HEX WORDS"
//   plan [OPTION...] HEX                 plan: "plan COMPACT LAYERS BITS HEX"
//   layout [OPTION...] BITS:HEX          layOut of a stream: a symbol
//   rune N / capacity COMPACT LAYERS EC  "capacity SIZE WORD_BITS TOTAL MOST"
//   fits [OPTION...] HEX                 makeIfFits: a symbol, or "none"
//   read WIDTH HEIGHT HEX                read: "read DATA ECIS GS1 INIT SEQ COMPACT LAYERS RUNE
//                                        CORRECTED SIZE DATA_WORDS CHECK_WORDS" (ECIS as POS:ECI,...)
//
// OPTION is ec=N, compact=0|1, layers=N, eci=N, fnc1=POS, flag=POS:ECI,
// gs1, init, seq=POSITION/COUNT[/ID], header (the message starts with its
// sequence header), pictures (also print the PNG file as hex and the SVG
// path), and for batches ecis=ECI/-/... (one a message), stop (keepGoing
// stops at its first call; "stopped DONE" follows) and runs (the run hook
// prints "run FIRST END FINAL" for each run, FINAL its results that hold a
// symbol, a picture or an error, before the results).
// A symbol prints as "ok COMPACT LAYERS SIZE DATA_WORDS CHECK_WORDS
// MODULES PACKED UNPACKED": the modules as 0 and 1 row by row from
// dark(), the packed bytes as hex, and modules() as 0 and 1; a failure as
// "error CODE MESSAGE".
#include <quillbank/aztec.hpp>

#include <cstdio>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace az = quillbank::aztec;

namespace {

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    std::string hex;
    char digits[3];
    for (std::uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

void print(const az::Symbol& symbol) {
    std::printf("ok %d %d %d %d %d ", symbol.compact() ? 1 : 0, symbol.layers(), symbol.size(), symbol.dataWords(),
                symbol.checkWords());
    for (int y = 0; y < symbol.size(); ++y)
        for (int x = 0; x < symbol.size(); ++x) std::fputc(symbol.dark(x, y) ? '1' : '0', stdout);
    std::printf(" %s ", hexOf(symbol.packed()).c_str());
    for (std::uint8_t module : symbol.modules()) std::fputc(module ? '1' : '0', stdout);
    std::fputc('\n', stdout);
}

void print(const az::BitStream& stream) {
    std::printf("stream %zu %s", stream.bitCount, hexOf(stream.bytes).c_str());
}

az::BitStream streamOf(const std::string& text) {  // BITS:HEX
    const std::string bytes = fromHex(text.substr(text.find(':') + 1));
    return az::BitStream{std::vector<std::uint8_t>(bytes.begin(), bytes.end()), std::stoul(text)};
}

std::optional<std::uint32_t> eciOf(const std::string& text) {
    if (text == "-") return std::nullopt;
    return static_cast<std::uint32_t>(std::stoul(text));
}

void print(const az::Error& error) { std::printf("error %d %s\n", static_cast<int>(error.code()), error.what()); }

// Reads OPTION tokens into `options` until the last token, the message(s).
bool readOption(const std::string& token, az::Options& options, az::BatchOptions& batch, bool& pictures) {
    const std::size_t equals = token.find('=');
    const std::string key = token.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : token.substr(equals + 1);
    if (key == "ec") options.ecPercent = std::stoi(value);
    else if (key == "compact") options.compact = value == "1";
    else if (key == "layers") options.layers = std::stoi(value);
    else if (key == "eci") options.eci = static_cast<std::uint32_t>(std::stoul(value));
    else if (key == "fnc1") options.flags.push_back(az::Flag::fnc1(std::stoul(value)));
    else if (key == "flag") options.flags.push_back(az::Flag::eciAt(std::stoul(value), static_cast<std::uint32_t>(std::stoul(value.substr(value.find(':') + 1)))));
    else if (key == "gs1") options.gs1 = true;
    else if (key == "header") options.headerInMessage = true;
    else if (key == "runs") {
        batch.onMade = [](std::size_t first, std::size_t end, az::Made* results) {
            std::size_t final = 0;
            for (std::size_t i = 0; i < end - first; ++i) final += results[i].symbol || results[i].error;
            return std::printf("run %zu %zu %zu\n", first, end, final), true;
        };
        batch.onDrawn = [](std::size_t first, std::size_t end, az::Drawn* results) {
            std::size_t final = 0;
            for (std::size_t i = 0; i < end - first; ++i) final += results[i].png || results[i].error;
            return std::printf("run %zu %zu %zu\n", first, end, final), true;
        };
    }
    else if (key == "init") options.readerInit = true;
    else if (key == "pictures") pictures = true;
    else if (key == "stop") batch.keepGoing = [](std::size_t done) { return std::printf("stopped %zu\n", done), false; };
    else if (key == "ecis") {
        std::istringstream fields(value);
        for (std::string field; std::getline(fields, field, '/');) batch.ecis.push_back(eciOf(field));
    }
    else if (key == "seq") {
        az::SequencePart part;
        std::istringstream fields(value);
        std::string field;
        std::getline(fields, field, '/');
        part.position = std::stoi(field);
        std::getline(fields, field, '/');
        part.count = std::stoi(field);
        std::getline(fields, part.id);
        options.sequence = part;
    } else return false;
    return true;
}

void printReading(const az::Reading& reading) {
    std::printf("read %s ", reading.data.empty() ? "-" : hexOf(reading.data).c_str());
    std::string ecis;
    for (const az::Flag& flag : reading.ecis)
        ecis += (ecis.empty() ? "" : ",") + std::to_string(flag.position) + ":" + std::to_string(*flag.eci);
    std::string sequence = "-";
    if (reading.sequence)
        sequence = std::to_string(reading.sequence->position) + "/" + std::to_string(reading.sequence->count) + "/" +
                   reading.sequence->id;
    std::printf("%s %d %d %s %d %d %d %d %d %d %d\n", ecis.empty() ? "-" : ecis.c_str(), reading.gs1,
                reading.readerInit, sequence.c_str(), reading.compact, reading.layers, reading.rune.value_or(-1),
                reading.corrected, reading.size, reading.dataWords, reading.checkWords);
}

// The steps of make and the other single calls, by the case's first word.
void runStep(const std::vector<std::string>& tokens, const az::Options& options) {
    const std::string& kind = tokens.at(0);
    const std::string last = tokens.back();
    const bool hex = kind == "stream" || kind == "fewest" || kind == "plan" || kind == "read" || kind == "fits" ||
                     kind == "fitstart";
    const std::string message = hex ? fromHex(last) : "";
    const auto* data = reinterpret_cast<const std::uint8_t*>(message.data());
    if (kind == "stream") {
        print(az::shortestStream(message, options));
    } else if (kind == "fewest") {
        const int width = std::stoi(tokens.at(1));
        const az::BitStream stream = az::fewestCodewordsStream(data, message.size(), width, options);
        print(stream);
        std::printf(" %zu", az::stuffedWordCount(stream, width));
    } else if (kind == "plan") {
        const az::Plan plan = az::plan(data, message.size(), options);
        std::printf("plan %d %d ", plan.compact, plan.layers);
        print(plan.stream);
    } else if (kind == "layout") {
        return print(az::layOut(streamOf(last), options));
    } else if (kind == "fits") {
        const std::optional<az::Symbol> symbol = az::makeIfFits(data, message.size(), options);
        if (symbol) return print(*symbol);
        std::printf("none");
    } else if (kind == "fitstart") {
        const az::StreamAndFit found =
            az::shortestStreamAndFit(data, message.size(), std::stoul(tokens.at(1)), std::stoi(tokens.at(2)), options);
        print(found.stream);
        std::printf(" %zu", found.fittingBytes);
    } else if (kind == "rune") {
        return print(az::rune(std::stoi(last)));
    } else if (kind == "capacity") {
        const az::Capacity c = az::capacity(tokens.at(1) == "1", std::stoi(tokens.at(2)), std::stoi(last));
        std::printf("capacity %d %d %d %d", c.size, c.wordBits, c.totalWords, c.maxDataWords);
    } else if (kind == "read") {
        return printReading(az::read(data, std::stoi(tokens.at(1)), std::stoi(tokens.at(2))));
    }
    std::fputc('\n', stdout);
}

void printResults(const std::vector<az::Made>& results) {
    for (const az::Made& made : results) {
        if (made.symbol) print(*made.symbol);
        else if (made.error) print(*made.error);
        else std::printf("none\n");
    }
}

void printResults(const std::vector<az::Drawn>& results) {
    for (const az::Drawn& drawn : results) {
        if (drawn.png) std::printf("png %s\n", hexOf(*drawn.png).c_str());
        else if (drawn.error) print(*drawn.error);
        else std::printf("none\n");
    }
}

// A batch of jobs, each with the batch's options and its own.
void runJobs(const std::string& kind, const std::string& list, const az::Options& options,
             az::BatchOptions& batch) {
    std::vector<std::string> messages;
    std::vector<az::BitStream> streams;
    std::vector<az::Job> jobs;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        std::istringstream fields(item);
        std::string field;
        std::getline(fields, field, '/');
        messages.push_back(fromHex(field == "-" ? "" : field));
        az::Job job{{}, options, nullptr};
        bool pictures = false;
        while (std::getline(fields, field, '/')) {
            if (field.rfind("stream=", 0) == 0) streams.push_back(streamOf(field.substr(7)));
            else if (!readOption(field, job.options, batch, pictures)) throw std::runtime_error("unknown option " + field);
        }
        jobs.push_back(job);
    }
    // The views and stream pointers, once nothing moves.
    std::size_t stream = 0;
    std::istringstream again(list);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        jobs[i].message = messages[i];
        std::string item;
        std::getline(again, item, ',');
        if (item.find("/stream=") != std::string::npos) jobs[i].stream = &streams[stream++];
    }
    if (kind == "jobpngs") printResults(az::pngMany(jobs, az::PngOptions{}, batch));
    else printResults(az::makeMany(jobs, batch));
}

void runBatch(const std::string& kind, const std::string& list, const az::Options& options,
              az::BatchOptions& batch) {
    if (kind == "jobs" || kind == "jobpngs") return runJobs(kind, list, options, batch);
    std::vector<std::string> messages;
    std::istringstream items(list);
    for (std::string hex; std::getline(items, hex, ',');) messages.push_back(fromHex(hex == "-" ? "" : hex));
    const std::vector<std::string_view> views(messages.begin(), messages.end());
    if (kind == "pngs") return printResults(az::pngMany(views, options, az::PngOptions{}, batch));
    printResults(az::makeMany(views, options, batch));
}

void runCase(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> tokens;
    for (std::string token; in >> token;) tokens.push_back(token);
    const std::string& kind = tokens.at(0);
    const bool many = kind == "many" || kind == "pngs" || kind == "jobs" || kind == "jobpngs";
    // Cases whose first arguments are numbers, not options.
    const std::size_t numbers = many || kind == "fewest" ? 1 : kind == "read" || kind == "fitstart" ? 2 : kind == "capacity" ? 3 : 0;
    az::Options options;
    az::BatchOptions batch;
    if (many) batch.threads = std::stoi(tokens.at(1));
    bool pictures = false;
    for (std::size_t i = 1 + numbers; i + 1 < tokens.size(); ++i)
        if (!readOption(tokens[i], options, batch, pictures)) throw std::runtime_error("unknown option " + tokens[i]);
    try {
        if (many) return runBatch(kind, tokens.back(), options, batch);
        if (kind != "make") return runStep(tokens, options);
        const az::Symbol symbol = az::make(fromHex(tokens.back() == "-" ? "" : tokens.back()), options);
        print(symbol);
        if (!pictures) return;
        std::printf("png %s\nsvg %s\n", hexOf(az::png(symbol)).c_str(), az::svgPath(symbol).c_str());
        // The same pictures of the symbol's modules as a grid.
        const std::vector<std::uint8_t> modules = symbol.modules();
        std::printf("png %s\nsvg %s\n", hexOf(az::png(modules.data(), symbol.size())).c_str(),
                    az::svgPath(modules.data(), symbol.size()).c_str());
    } catch (const az::Error& error) {
        print(error);
    }
}

}  // namespace

int main() {
    for (std::string line; std::getline(std::cin, line);)
        if (!line.empty()) runCase(line);
    return 0;
}
