// Prints the relay benchmark's table from the "result" lines of bench-load
// (read from standard input): each figure as min / median / max over the
// rounds, and the ratios relay/floor and relay/gstreamer taken round by
// round (each relay run against the baseline run next to it), then the goals.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Fields = std::map<std::string, std::string>;

struct Figure {
    const char* key;
    const char* label;
    bool ratio;
    int decimals;
};

constexpr Figure FIGURES[] = {
    {"cpu_ms_per_k", "CPU ms per 1000 datagrams", true, 2},
    {"p50_us", "latency p50 us", true, 1},
    {"p99_us", "latency p99 us", true, 1},
    {"p999_us", "latency p99.9 us", true, 1},
    {"lost", "lost, all viewers", false, 0},
    {"lost_worst", "lost, worst viewer", false, 0},
    {"reordered", "reordered, all viewers", false, 0},
    {"reordered_worst", "reordered, worst viewer", false, 0},
    {"hwm_kib", "peak RSS KiB", true, 0},
    {"rate", "datagrams sent per s", true, 0},
};

constexpr const char* PROGRAMS[] = {"relay", "floor", "gstreamer"};
constexpr int CELL = 26;

std::vector<std::string> loadOrder;
// load -> program -> round -> fields
std::map<std::string, std::map<std::string, std::map<int, Fields>>> results;

void readResults() {
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word != "result") continue;
        Fields fields;
        while (words >> word) {
            const size_t equals = word.find('=');
            if (equals != std::string::npos) fields[word.substr(0, equals)] = word.substr(equals + 1);
        }
        const std::string& load = fields["load"];
        if (std::find(loadOrder.begin(), loadOrder.end(), load) == loadOrder.end()) loadOrder.push_back(load);
        results[load][fields["program"]][std::atoi(fields["round"].c_str())] = fields;
    }
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string spread(const std::vector<double>& values, int decimals) {
    if (values.empty()) return "-";
    char text[96];
    std::snprintf(text, sizeof text, "%.*f / %.*f / %.*f", decimals, *std::min_element(values.begin(), values.end()),
                  decimals, median(values), decimals, *std::max_element(values.begin(), values.end()));
    return text;
}

std::vector<double> valuesOf(const std::string& load, const std::string& program, const char* key) {
    std::vector<double> values;
    for (const auto& [round, fields] : results[load][program]) {
        const auto found = fields.find(key);
        if (found != fields.end()) values.push_back(std::atof(found->second.c_str()));
    }
    return values;
}

// relay / baseline, one ratio per round in which both ran.
std::vector<double> ratiosOf(const std::string& load, const std::string& baseline, const char* key) {
    std::vector<double> ratios;
    for (const auto& [round, fields] : results[load]["relay"]) {
        const auto other = results[load][baseline].find(round);
        if (other == results[load][baseline].end()) continue;
        const double below = std::atof(other->second.at(key).c_str());
        if (below > 0) ratios.push_back(std::atof(fields.at(key).c_str()) / below);
    }
    return ratios;
}

void printLoad(const std::string& load) {
    std::printf("\nload %s, min / median / max over %zu rounds\n", load.c_str(), results[load]["relay"].size());
    std::printf("%-28s", "");
    for (const char* program : PROGRAMS) std::printf("%-*s", CELL, program);
    std::printf("%-*s%s\n", CELL, "relay/floor", "relay/gstreamer");
    for (const Figure& figure : FIGURES) {
        std::printf("%-28s", figure.label);
        for (const char* program : PROGRAMS)
            std::printf("%-*s", CELL, spread(valuesOf(load, program, figure.key), figure.decimals).c_str());
        if (figure.ratio) {
            std::printf("%-*s", CELL, spread(ratiosOf(load, "floor", figure.key), 3).c_str());
            std::printf("%s", spread(ratiosOf(load, "gstreamer", figure.key), 3).c_str());
        }
        std::printf("\n");
    }
    for (const char* program : PROGRAMS)
        for (const auto& [round, fields] : results[load][program])
            if (fields.at("lost") != "0" || fields.at("reordered") != "0")
                std::printf("  %s round %d: lost per viewer %s, reordered per viewer %s\n", program, round,
                            fields.at("lost_per_viewer").c_str(), fields.at("reordered_per_viewer").c_str());
}

void printGoal(const char* text, double value, double limit, bool known) {
    if (!known) {
        std::printf("  %-52s not measured\n", text);
        return;
    }
    std::printf("  %-52s %-10.3f %s\n", text, value, value <= limit ? "met" : "MISSED");
}

void printGoals(const std::string& load) {
    std::printf("\ngoals on load %s (medians of the round-by-round ratios; worst relay run otherwise)\n", load.c_str());
    const auto cpuFloor = ratiosOf(load, "floor", "cpu_ms_per_k");
    const auto cpuPeer = ratiosOf(load, "gstreamer", "cpu_ms_per_k");
    const auto p99Floor = ratiosOf(load, "floor", "p99_us");
    const auto lost = valuesOf(load, "relay", "lost");
    const auto rss = valuesOf(load, "relay", "hwm_kib");
    printGoal("CPU relay/floor <= 1.05", cpuFloor.empty() ? 0 : median(cpuFloor), 1.05, !cpuFloor.empty());
    printGoal("CPU relay/gstreamer <= 1.00", cpuPeer.empty() ? 0 : median(cpuPeer), 1.0, !cpuPeer.empty());
    printGoal("latency p99 relay/floor <= 1.2", p99Floor.empty() ? 0 : median(p99Floor), 1.2, !p99Floor.empty());
    printGoal("relay datagrams lost <= 0", lost.empty() ? 0 : *std::max_element(lost.begin(), lost.end()), 0,
              !lost.empty());
    printGoal("relay peak RSS KiB <= 4096", rss.empty() ? 0 : *std::max_element(rss.begin(), rss.end()), 4096,
              !rss.empty());
}

}  // namespace

int main(int argc, char** argv) {
    const std::string goalLoad = argc > 1 ? argv[1] : "paced-2000";
    readResults();
    if (loadOrder.empty()) {
        std::fprintf(stderr, "bench-table: no result lines on standard input\n");
        return 1;
    }
    for (const std::string& load : loadOrder) printLoad(load);
    if (results.count(goalLoad) != 0) printGoals(goalLoad);
    return 0;
}
