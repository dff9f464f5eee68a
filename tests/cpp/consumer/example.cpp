#include <quillbank/aztec.hpp>

#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace az = quillbank::aztec;

int main() {
    // One symbol, drawn as text.
    az::Symbol symbol = az::make("Hello, World");
    for (int y = 0; y < symbol.size(); ++y) {
        for (int x = 0; x < symbol.size(); ++x) std::fputs(symbol.dark(x, y) ? "##" : "  ", stdout);
        std::fputc('\n', stdout);
    }

    // Options: 50% error correction, a full symbol, bytes marked as UTF-8 (ECI 26).
    az::Options options;
    options.ecPercent = 50;
    options.compact = false;
    options.eci = 26;
    az::Symbol ticket = az::make("Zürich HB → Genève", options);
    std::printf("%dx%d, %d layers\n", ticket.size(), ticket.size(), ticket.layers());

    // A PNG file, 4 pixels a module with a 2-module border.
    std::vector<std::uint8_t> file = az::png(ticket, az::PngOptions{});
    std::ofstream("ticket.png", std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                         static_cast<std::streamsize>(file.size()));

    // Many messages on the library's threads; failures come back in place.
    std::vector<std::string_view> labels = {"LABEL 0001", "", "LABEL 0003"};
    for (const az::Made& made : az::makeMany(labels, az::Options{}, 2)) {
        if (made.symbol)
            std::printf("%dx%d\n", made.symbol->size(), made.symbol->size());
        else
            std::printf("failed: %s\n", made.error->what());
    }

    // Jobs: each message with options of its own (GS1 data, UTF-8 text).
    az::Options gs1;
    gs1.gs1 = true;
    az::Options utf8;
    utf8.eci = 26;
    std::vector<az::Job> jobs = {{"0109501101530003", gs1, nullptr}, {"Zürich", utf8, nullptr}};
    for (const az::Made& made : az::makeMany(jobs, az::BatchOptions{}))
        std::printf("job: %dx%d\n", made.symbol->size(), made.symbol->size());

    // Errors say what to change.
    try {
        az::Options tiny;
        tiny.compact = true;
        tiny.layers = 1;
        az::make(std::string(200, 'x'), tiny);
    } catch (const az::Error& error) {
        std::printf("%s\n", error.what());
        return error.code() == az::ErrorCode::DataOverflow ? 0 : 1;
    }
    return 1;
}
