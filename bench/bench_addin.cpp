// The add-in as a mail client drives it: one new message through RunWorkflow2 on each of its
// paths, and the contact import of a first connection, over the in-memory client. The lists
// are real files in the benchmark's data folder, so loading and saving them is measured as the
// client meets it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "addin/addin_object.h"
#include "config/configuration.h"
#include "config/data_dir.h"
#include "engine/ostrel.h"
#include "lists/address_list.h"
#include "mail/accounts.h"
#include "platform/file_io.h"
#include "support/filtering_settings.h"
#include "support/memory_host.h"

namespace {

// Where one new message ends, by what its sender is to the filter.
enum class workflow_path { authorized, removed, pending, challenged, bounce };

const char* const authorized_pattern = "user%07ld@domain%ld.example";
const char* const removed_pattern = "blocked%07ld@spam%ld.example";
const char* const pending_pattern = "waiting%07ld@elsewhere%ld.example";
const long pending_entries = 10;  // the senders that wait for an answer; few at any time

// Entry `number` of a generated list: `pattern` takes the number, then a domain number.
std::string entry_of(const char* pattern, long number) {
    char entry[96];
    std::snprintf(entry, sizeof entry, pattern, number, number % 1000);
    return entry;
}

// A list file of `count` entries made from `pattern`, in the order the add-in writes its lists.
std::string list_file_bytes(const char* pattern, long count) {
    std::string bytes = "\r\n\r";
    for (long number = 0; number < count; ++number) bytes += entry_of(pattern, number) + "\r\n\r";
    return bytes;
}

void write_data_file(const std::string& name, const std::string& bytes) {
    if (!replace_file_atomically(get_data_file_path(name), bytes))
        std::fprintf(stderr, "bench: cannot write %s\n", name.c_str());
}

// A fresh add-in instance connected to a fresh client, over a data folder whose authorized and
// remove lists hold `list_size` entries each. The first call is made before timing starts, so
// that the once-per-process work (loading the lists, the first pending cleanup) is not counted.
class workflow_bench {
public:
    explicit workflow_bench(long list_size) {
        reset_addin_state_for_tests();
        write_data_file("ostrel.cfg", format_config_file(filtering_settings()));
        get_configuration("ostrel_user")->load();
        write_data_file("authorized.lst", list_file_bytes(authorized_pattern, list_size));
        write_data_file("remove.lst", list_file_bytes(removed_pattern, list_size));
        write_data_file("pending.lst", list_file_bytes(pending_pattern, pending_entries));
        write_data_file("ignore.lst", "");
        write_data_file("release.lst", "");
        write_data_file("MAILERDAEMON_subject.cfg", "Undeliverable\r\nReturned mail\r\nDelivery Failure\r\n");
        reset_ostrel_object_for_tests();
        reset_all_accounts();
        object_ = new CMailerInterfaceTest;
        object_->SetMailer(mailer_.get());
        list_size_ = list_size;
    }
    ~workflow_bench() {
        object_->Release();
        reset_all_accounts();
        g_mailer.reset();
        g_savedMailer.reset();
        mailer_.reset();
        reset_ostrel_object_for_tests();
    }
    workflow_bench(const workflow_bench&) = delete;
    workflow_bench& operator=(const workflow_bench&) = delete;

    memory_host& host() { return host_; }
    IMailerHost* mailer() { return mailer_.get(); }
    IMailerInterfaceTest& object() { return *object_; }

    memory_host::message_spec message_on(workflow_path path) const {
        memory_host::message_spec message;
        message.receiver = "me@example.com";
        message.subject = "Quarterly figures";
        message.body = "Hello,\r\nthe figures are attached.\r\n";
        switch (path) {
        case workflow_path::authorized:
            message.sender = "Ann <" + entry_of(authorized_pattern, list_size_ / 2) + ">";
            break;
        case workflow_path::removed: message.sender = entry_of(removed_pattern, list_size_ / 2); break;
        case workflow_path::pending: message.sender = entry_of(pending_pattern, pending_entries / 2); break;
        case workflow_path::challenged: message.sender = "Stranger <stranger@unknown.example>"; break;
        case workflow_path::bounce:
            message.sender = "MAILER-DAEMON@mx.unknown.example";
            message.subject = "Undeliverable: Please confirm [TWK-TESTKEY]";
            message.body = entry_of(pending_pattern, pending_entries / 2) + "\r\nUser unknown\r\n";
            break;
        }
        return message;
    }

    // Passes one new message on `path` to the add-in; only the call itself is timed (inside the
    // loop of `state`; none for a call before it). False when the message did not end where the
    // path puts it.
    bool run_one(benchmark::State* state, workflow_path path) {
        if (state) state->PauseTiming();
        memory_host::message_id id = host_.add_message(host_.incoming(), message_on(path));
        com_ptr<IUnknown> message = host_.message_object(id);
        if (state) state->ResumeTiming();
        HRESULT result = object_->RunWorkflow2(mailer_.get(), message.get());
        if (state) state->PauseTiming();
        message.reset();
        bool as_expected = SUCCEEDED(result) && ended_as_expected(id, path);
        host_.forget(id);
        // The stranger must meet the filter as a stranger again next time.
        if (path == workflow_path::challenged)
            remove_from_list(get_ostrel_Object()->pending_list(), "stranger@unknown.example");
        if (state) state->ResumeTiming();
        return as_expected;
    }

private:
    bool ended_as_expected(memory_host::message_id id, workflow_path path) {
        switch (path) {
        case workflow_path::authorized: return host_.folder_of(id) == host_.incoming();
        case workflow_path::removed:
        case workflow_path::bounce: return host_.is_deleted(id);
        case workflow_path::pending: return host_.folder_of(id) == host_.find_folder("/Inbox/Pending");
        case workflow_path::challenged:
            return host_.folder_of(id) == host_.find_folder("/Inbox/Pending") && !host_.replies().empty();
        }
        return false;
    }

    memory_host host_;
    com_ptr<IMailerHost> mailer_ = host_.mailer();
    IMailerInterfaceTest* object_ = nullptr;
    long list_size_ = 0;
};

void bm_run_workflow2(benchmark::State& state, workflow_path path) {
    workflow_bench bench(state.range(0));
    if (!bench.run_one(nullptr, path)) {  // warms up, and checks the path
        state.SkipWithError("the message did not take the expected path");
        return;
    }
    for (auto _ : state) {
        if (!bench.run_one(&state, path)) {
            state.SkipWithError("the message did not take the expected path");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void list_sizes(benchmark::internal::Benchmark* bench) {
    bench->Arg(10)->Arg(10'000)->Arg(1'000'000)->Unit(benchmark::kMicrosecond);
}

BENCHMARK_CAPTURE(bm_run_workflow2, authorized, workflow_path::authorized)->Apply(list_sizes);
BENCHMARK_CAPTURE(bm_run_workflow2, removed, workflow_path::removed)->Apply(list_sizes);
BENCHMARK_CAPTURE(bm_run_workflow2, pending, workflow_path::pending)->Apply(list_sizes);
BENCHMARK_CAPTURE(bm_run_workflow2, challenged, workflow_path::challenged)->Apply(list_sizes);
BENCHMARK_CAPTURE(bm_run_workflow2, bounce, workflow_path::bounce)->Apply(list_sizes);

// The first connection of a client with an address book of `range(0)` people the filter does
// not know yet: each run starts from an empty authorized list.
void bm_contact_import(benchmark::State& state) {
    const long contacts = state.range(0);
    workflow_bench bench(0);
    std::vector<host_item> book;
    for (long number = 0; number < contacts; ++number)
        book.emplace_back("Friend " + std::to_string(number) + " <" + entry_of(authorized_pattern, number) + ">");
    bench.host().set_contacts(book);
    for (auto _ : state) {
        state.PauseTiming();
        get_ostrel_Object()->authorized_list().clear();
        state.ResumeTiming();
        bench.object().RunWorkflow(bench.mailer());
    }
    if (static_cast<long>(get_ostrel_Object()->authorized_list().size()) != contacts)
        state.SkipWithError("not every contact was imported");
    state.SetItemsProcessed(state.iterations() * contacts);
}
BENCHMARK(bm_contact_import)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMillisecond);

}  // namespace
