// Address normalisation runs on every sender of every new message, and the authorized list is
// the largest list, filled by the contact import: a contact import can make it a million entries
// long, and every run loads it, looks senders up in it and saves it after a change.
#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <unistd.h>

#include "lists/address.h"
#include "lists/address_list.h"

namespace {

const std::vector<std::string>& typical_senders() {
    static const std::vector<std::string> senders = {
        "bob@example.com",
        "\"Doe, John\" <John.Doe@Mail.Example.COM>",
        "=?iso-8859-1?Q?J=E9r=F4me_Dupont?= <jerome.dupont@exemple.fr>",
        "MAILER-DAEMON@mx1.provider.net (Mail Delivery Subsystem)",
        "Newsletter Team of a Rather Long Company Name Ltd <no-reply+campaign-2024@news.company.co.uk>",
        "undisclosed-recipients:;",
    };
    return senders;
}

void bm_extract_email_address(benchmark::State& state) {
    const auto& senders = typical_senders();
    for (auto _ : state) {
        for (const std::string& sender : senders) benchmark::DoNotOptimize(extract_email_address(sender));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<long>(senders.size()));
}
BENCHMARK(bm_extract_email_address);

// Entry `i` of a generated authorized list: mostly addresses like "user123456@domain123.com",
// every tenth a domain entry.
std::string generated_entry(int i) {
    if (i % 10 == 0) return ".@domain" + std::to_string(i) + ".org";
    return "user" + std::to_string(i) + "@domain" + std::to_string(i % 1000) + ".com";
}

address_set generated_list(int size) {
    address_set list;
    for (int i = 0; i < size; ++i) list.insert(generated_entry(i));
    return list;
}

constexpr int big_size = 1000000;

// A scratch folder with the list file of `big_size` entries, as save_list writes it; made once
// per process, on first use, and removed at exit.
struct big_list_file {
    std::filesystem::path folder;
    std::string path;
    std::uintmax_t bytes = 0;

    big_list_file() {
        folder = std::filesystem::temp_directory_path() / ("tarnwick_bench_lists." + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        path = (folder / "authorized.lst").string();
        if (!save_list(path, generated_list(big_size))) throw std::runtime_error("cannot write " + path);
        bytes = std::filesystem::file_size(path);
    }
    ~big_list_file() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
};

const big_list_file& big_file() {
    static const big_list_file file;
    return file;
}

const address_set& big_list() {
    static const address_set list = [] {
        address_set loaded;
        load_list(big_file().path, loaded);
        return loaded;
    }();
    return list;
}

void bm_load_list_1m(benchmark::State& state) {
    const big_list_file& file = big_file();
    for (auto _ : state) {
        address_set list;
        load_list(file.path, list);
        benchmark::DoNotOptimize(list.size());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(file.bytes));
}
BENCHMARK(bm_load_list_1m)->Unit(benchmark::kMillisecond)->UseRealTime();

// Formatting, writing the temporary file, flushing it to disk and renaming it over the old one.
void bm_save_list_1m(benchmark::State& state) {
    const address_set& list = big_list();
    const std::string path = (big_file().folder / "saved.lst").string();
    for (auto _ : state) {
        if (!save_list(path, list)) state.SkipWithError("save_list failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<long>(big_file().bytes));
}
BENCHMARK(bm_save_list_1m)->Unit(benchmark::kMillisecond)->UseRealTime();

#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
// Heap bytes in use: small blocks and the large ones that malloc maps on their own.
std::size_t heap_in_use() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// The memory a loaded list holds, against the size of its file.
void bm_list_memory_1m(benchmark::State& state) {
    const big_list_file& file = big_file();
    std::size_t held = 0;
    for (auto _ : state) {
        const std::size_t before = heap_in_use();
        address_set list;
        load_list(file.path, list);
        held = heap_in_use() - before;
        benchmark::DoNotOptimize(list.size());
    }
    state.counters["bytes_held"] = static_cast<double>(held);
    state.counters["file_bytes"] = static_cast<double>(file.bytes);
    state.counters["held_per_file_byte"] = static_cast<double>(held) / static_cast<double>(file.bytes);
}
BENCHMARK(bm_list_memory_1m)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
#endif

// The lookup of every message: a hit by address, a hit by domain, and a miss that tries both.
void bm_is_authorized(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const address_set authorized = size == big_size ? big_list() : generated_list(size);
    const std::string senders[] = {"User 7 <User7@Domain7.com>", "anyone@domain0.org",
                                   "Stranger <stranger@elsewhere.net>"};
    for (auto _ : state) {
        for (const std::string& sender : senders) benchmark::DoNotOptimize(is_authorized(authorized, sender));
    }
    state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(bm_is_authorized)->Arg(10)->Arg(10000)->Arg(big_size);

// One user verdict on a big list: the entry goes in, then out again.
void bm_insert_erase_1m(benchmark::State& state) {
    address_set list = big_list();
    const std::string entry = "newcomer@example.net";
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.insert(entry));
        benchmark::DoNotOptimize(list.erase(entry));
    }
    state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(bm_insert_erase_1m);

}  // namespace
