// lmscr, the command-line program: shared pieces of its commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace lmscr::tool {

struct GlobalOptions {
    uint64_t seed = 1;
    bool trace = false;  // the decoded line trace of the simulated reader
};

int RunDemo(const GlobalOptions& options, std::FILE* out);
std::string EventText(uint32_t code);  // the message table's text, or a note that it has none

}  // namespace lmscr::tool
