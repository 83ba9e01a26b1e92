// What the microbenchmarks of the engine share: the data they run over, one benchmark per kind of
// content, and throughput reported in bytes per second.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>

#include "corpus.h"

namespace tessaloom::bench {

// Each microbenchmark works on this many bytes per iteration.
inline constexpr std::size_t kMicroSize = std::size_t{16} << 20;

// Registers one run of the benchmark per kind of content (mixed, random, text, zeros, tagged).
void eachContent(benchmark::internal::Benchmark* benchmark);

// The data of the content that the run was registered with, made once and kept; labels the run.
const ByteBuffer& contentOf(benchmark::State& state);

// The same data with one byte in every 4096 changed.
const ByteBuffer& changedContentOf(benchmark::State& state);

// Reports the throughput of iterations that each processed bytes.
void countBytes(benchmark::State& state, std::size_t bytes);

}  // namespace tessaloom::bench
