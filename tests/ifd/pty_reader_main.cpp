// ifd_pty_reader: the simulated reader on a pseudo-terminal for the pcscd tests. Prints the slave
// path on its first line, then takes commands on stdin, one a line: "insert PROFILE", "remove".
// Answers each with "ok" or "refused"; ends at end of input.
#include <cstdio>
#include <iostream>
#include <string>

#include "pty_helper.h"

int main() {
    std::string error;
    auto reader = lmscr::ifdtest::OpenPtyReader(&error);
    if (!reader) {
        std::fprintf(stderr, "ifd_pty_reader: %s\n", error.c_str());
        return 1;
    }
    std::cout << reader->SlavePath() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        bool ok = false;
        if (line.rfind("insert ", 0) == 0)
            ok = reader->Insert(line.substr(7));
        else if (line == "remove")
            ok = reader->Remove();
        std::cout << (ok ? "ok" : "refused") << std::endl;
    }
    return 0;
}
