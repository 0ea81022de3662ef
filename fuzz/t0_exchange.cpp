// A T=0 exchange with the card's procedure bytes, data and status words from the fuzzer
// (exchange.h has the input format).
#include "exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return lmscr::fuzz::RunExchange(SCARD_PROTOCOL_T0, data, size);
}
