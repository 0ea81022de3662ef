// A T=1 exchange with the card's blocks from the fuzzer, checksums right or wrong as it chooses
// (exchange.h has the input format).
#include "exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return lmscr::fuzz::RunExchange(SCARD_PROTOCOL_T1, data, size);
}
