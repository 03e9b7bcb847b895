// What the benchmarks print beside their counters.
#pragma once

#include "fakes/fake_server.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>

// Prints "METHOD path-pattern count" for every endpoint a server was asked, transaction ids and
// addresses folded into placeholders.
inline void print_paths(const char* name, const FakeServer& server) {
    if (!std::getenv("CORVANE_BENCH_PATHS")) return;
    static const std::regex txid("[0-9a-fA-F]{64}");
    static const std::regex address("/[1-9A-HJ-NP-Za-km-z]{25,35}(/|$)");
    std::map<std::string, int> counts;
    for (const FakeRequest& request : server.requests()) {
        std::string path = std::regex_replace(request.path, txid, "<txid>");
        path = std::regex_replace(path, address, "/<addr>$1");
        ++counts[request.method + " " + path];
    }
    for (const auto& entry : counts)
        std::fprintf(stderr, "  %-9s %4d  %s\n", name, entry.second, entry.first.c_str());
}
