#pragma once

namespace snapvel::test {

// This process's peak resident memory so far (VmHWM), in MiB; -1 if unknown.
double peakMemoryMiB();

} // namespace snapvel::test
