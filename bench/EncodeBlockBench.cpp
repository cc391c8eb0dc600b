// What encoding one RAM block costs the host: 92 uuencoded lines of 45 bytes with their
// running checksum, the work done between two pauses of the transfer.
#include "flash/IspProtocol.h"
#include "flash/Uuencode.h"
#include "tools/FirmwareGenerator.h"

#include <benchmark/benchmark.h>

namespace {

void encodeBlock(benchmark::State& state) {
    const auto block = sparwick::tools::makeFirmwareImage(4140);
    for (auto _ : state) {
        std::uint32_t sum = 0;
        char line[sparwick::isp::dataLineBufferSize];
        for (std::size_t offset = 0; offset < block.size(); offset += 45) {
            sparwick::uuencodeLine(block.data() + offset, line, sum);
            benchmark::DoNotOptimize(line);
        }
        benchmark::DoNotOptimize(sum);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4140);
}
BENCHMARK(encodeBlock);

} // namespace

BENCHMARK_MAIN();
