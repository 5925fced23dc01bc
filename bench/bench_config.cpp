// The configuration file is read at every start of the add-in and of each host command.
#include <benchmark/benchmark.h>

#include <map>
#include <string>

#include "config/configuration.h"
#include "config/data_dir.h"
#include "platform/file_io.h"

namespace {

void bm_parse_config_file(benchmark::State& state) {
    std::map<std::string, std::string> entries;
    for (long line = 0; line < state.range(0); ++line)
        entries["Setting" + std::to_string(line)] = "a value of some length; number " + std::to_string(line);
    const std::string path = get_data_file_path("bench-config.cfg");
    if (!replace_file_atomically(path, format_config_file(entries))) {
        state.SkipWithError("cannot write the configuration file");
        return;
    }
    simple_ostrel_configuration configuration;
    for (auto _ : state) {
        configuration.parse_config_file(path);
        benchmark::DoNotOptimize(configuration.entries().size());
    }
    if (configuration.entries() != entries) state.SkipWithError("the file did not read back as written");
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(bm_parse_config_file)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
