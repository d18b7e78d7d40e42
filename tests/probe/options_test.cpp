// The probe's command line.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "probe_options.h"

namespace {

struct Parsed {
    ParseResult result;
    ProbeOptions options;
    std::string error;
    std::vector<std::string> words;  // the options point into these, as into a program's argv
};

Parsed parse(std::vector<std::string> words) {
    Parsed parsed{};
    // Garbage first, so the defaults are shown to come from the parser.
    std::memset(&parsed.options, 0xA5, sizeof parsed.options);
    parsed.words = std::move(words);
    parsed.words.insert(parsed.words.begin(), "relay-probe");
    std::vector<char*> argv;
    for (std::string& word : parsed.words) argv.push_back(word.data());
    argv.push_back(nullptr);
    char error[256];
    parsed.result =
        parseProbeOptions(static_cast<int>(parsed.words.size()), argv.data(), parsed.options, error, sizeof error);
    parsed.error = error;
    return parsed;
}

TEST(ProbeOptions, AddressWithAndWithoutPortAndEveryOption) {
    Parsed plain = parse({"192.168.7.2"});
    ASSERT_EQ(plain.result, PARSE_RUN);
    EXPECT_STREQ(plain.options.host, "192.168.7.2");
    EXPECT_EQ(plain.options.port, 4242);
    EXPECT_FALSE(plain.options.dataOnly);
    EXPECT_EQ(plain.options.outPath, nullptr);
    EXPECT_EQ(plain.options.durationS, 0.0);

    Parsed full = parse({"--data-only", "board.local:5555", "-o", "video.bin", "--duration", "2.5", "-l", "40000"});
    ASSERT_EQ(full.result, PARSE_RUN) << full.error;
    EXPECT_STREQ(full.options.host, "board.local");
    EXPECT_EQ(full.options.port, 5555);
    EXPECT_TRUE(full.options.dataOnly);
    EXPECT_STREQ(full.options.outPath, "video.bin");
    EXPECT_EQ(full.options.durationS, 2.5);
    EXPECT_EQ(full.options.localPort, 40000);

    EXPECT_EQ(parse({"--help"}).result, PARSE_HELP);
}

TEST(ProbeOptions, MistakesAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> wrong = {
        {},                           // no address
        {"a", "b"},                   // two addresses
        {"host:0"},                   // relay port 0
        {"host:70000"},               // relay port too large
        {"host:12x"},                 // not a number
        {":4242"},                    // no host
        {"host", "--duration", "0"},  // nothing to run
        {"host", "--duration", "soon"},
        {"host", "--local-port", "-1"},
        {"host", "--out"},     // value missing
        {"host", "--colour"},  // unknown
    };
    for (const auto& words : wrong) {
        Parsed parsed = parse(words);
        std::string shown;
        for (const auto& w : words) shown += w + " ";
        EXPECT_EQ(parsed.result, PARSE_ERROR) << shown;
        EXPECT_FALSE(parsed.error.empty()) << shown;
    }
}

// An option added to the parser is described where people look: --help and the manual.
TEST(ProbeOptions, EveryOptionIsInTheHelpAndTheManual) {
    std::ifstream file(RELAY_PROBE_MANUAL);
    std::stringstream text;
    text << file.rdbuf();
    ASSERT_FALSE(text.str().empty()) << "cannot read " << RELAY_PROBE_MANUAL;
    std::string manual;
    for (char c : text.str()) {
        if (c == '-' && !manual.empty() && manual.back() == '\\') {
            manual.back() = '-';  // roff's hyphen, \-
        } else {
            manual += c;
        }
    }
    const std::string usage = PROBE_USAGE;
    for (const option* item = PROBE_LONG_OPTIONS; item->name != nullptr; item++) {
        std::string name = std::string("--") + item->name;
        EXPECT_NE(usage.find(std::string("-") + static_cast<char>(item->val) + ", " + name), std::string::npos) << name;
        EXPECT_NE(manual.find(".BR -" + std::string(1, static_cast<char>(item->val)) + " \", \" " + name),
                  std::string::npos)
            << name << " in " << RELAY_PROBE_MANUAL;
    }
}

}  // namespace
