// Reads cases from standard input, one a line, and prints their symbols.
//
//   make [OPTION...] HEX                 one symbol of the message HEX
//   many THREADS [OPTION...] HEX,HEX...  a batch, one result a message
//
// OPTION is ec=N, compact=0|1, layers=N, eci=N, fnc1=POS, flag=POS:ECI,
// gs1, init, seq=POSITION/COUNT[/ID] or pictures (also print the PNG file
// as hex and the SVG path).  A symbol prints as
// "ok COMPACT LAYERS SIZE DATA_WORDS CHECK_WORDS MODULES", the modules as
// 0 and 1 row by row; a failure as "error CODE MESSAGE".
#include <quillbank/aztec.hpp>

#include <cstdio>
#include <iostream>
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

void print(const az::Symbol& symbol) {
    std::printf("ok %d %d %d %d %d ", symbol.compact() ? 1 : 0, symbol.layers(), symbol.size(), symbol.dataWords(),
                symbol.checkWords());
    for (int y = 0; y < symbol.size(); ++y)
        for (int x = 0; x < symbol.size(); ++x) std::fputc(symbol.dark(x, y) ? '1' : '0', stdout);
    std::fputc('\n', stdout);
}

void print(const az::Error& error) { std::printf("error %d %s\n", static_cast<int>(error.code()), error.what()); }

// Reads OPTION tokens into `options` until the last token, the message(s).
bool readOption(const std::string& token, az::Options& options, bool& pictures) {
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
    else if (key == "init") options.readerInit = true;
    else if (key == "pictures") pictures = true;
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

void runCase(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> tokens;
    for (std::string token; in >> token;) tokens.push_back(token);
    const bool many = tokens.at(0) == "many";
    const int threads = many ? std::stoi(tokens.at(1)) : 0;
    az::Options options;
    bool pictures = false;
    for (std::size_t i = many ? 2 : 1; i + 1 < tokens.size(); ++i)
        if (!readOption(tokens[i], options, pictures)) throw std::runtime_error("unknown option " + tokens[i]);
    const std::string last = tokens.back() == "-" ? "" : tokens.back();
    if (!many) {
        try {
            const az::Symbol symbol = az::make(fromHex(last), options);
            print(symbol);
            if (!pictures) return;
            std::printf("png ");
            for (std::uint8_t byte : az::png(symbol)) std::printf("%02x", byte);
            std::printf("\nsvg %s\n", az::svgPath(symbol).c_str());
        } catch (const az::Error& error) {
            print(error);
        }
        return;
    }
    std::vector<std::string> messages;
    std::istringstream list(last);
    for (std::string hex; std::getline(list, hex, ',');) messages.push_back(fromHex(hex == "-" ? "" : hex));
    const std::vector<std::string_view> views(messages.begin(), messages.end());
    try {
        for (const az::Made& made : az::makeMany(views, options, threads)) {
            if (made.symbol) print(*made.symbol);
            else print(*made.error);
        }
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
