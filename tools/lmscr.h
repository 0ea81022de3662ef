// lmscr, the command-line program: shared pieces of its commands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace lmscr::tool {

struct GlobalOptions {
    uint64_t seed = 1;
    bool trace = false;  // the decoded line trace of the simulated reader
    bool json = false;   // machine-readable output where a command offers it
    std::string card = "t1";  // the card profile the demo inserts
};

int RunDemo(const GlobalOptions& options, std::FILE* out);
// Exit status: 0 the library can use the ATR, 1 it refuses it, 2 the text is no ATR at all.
int RunCards(std::FILE* out);
int RunAtr(const std::string& hex, bool json, std::FILE* out, std::FILE* err);
std::string EventText(uint32_t code);  // the message table's text, or a note that it has none

}  // namespace lmscr::tool
