// Must not compile with the kernel flags: kernel code has no standard library.
#include <vector>
int Probe() { return static_cast<int>(std::vector<int>(3).size()); }
