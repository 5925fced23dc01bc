// The benchmarks run in a data folder of their own, with the debug log written there as the
// add-in writes it for a client: nothing of the user's is read or touched.
#include <benchmark/benchmark.h>

#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "support/temp_dir.h"

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    temp_dir data;
    reset_data_dir_for_tests(data.path());
    open_debug_log(get_data_file_path("dlog.log"));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
