// lmscr readers and the PC/SC back end of the card commands: being written; until then the
// command says so and fails.
#include "lmscr.h"

namespace lmscr::tool {

int RunReaders(const GlobalOptions&, std::FILE*, std::FILE* err) {
    std::fprintf(err, "lmscr readers: PC/SC is not built into this lmscr yet\n");
    return 1;
}

}  // namespace lmscr::tool
