// The AddressSanitizer defaults of every fuzz target. Freed memory waits in a quarantine before it
// is used again, 256 MiB of it by default: over a long run the quarantine alone brings a target
// near libFuzzer's -rss_limit_mb of 512 and would end it with a false out-of-memory finding.
// 64 MiB keeps use-after-free detection for recent frees within the limit.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=64"; }
