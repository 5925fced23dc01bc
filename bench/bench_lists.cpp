// Address normalisation runs on every sender of every new message, and the authorized list is
// the largest list, filled by the contact import.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

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

void bm_is_authorized_10000(benchmark::State& state) {
    address_set authorized;
    for (int i = 0; i < 10000; ++i)
        authorized.insert(i % 10 == 0 ? ".@domain" + std::to_string(i) + ".org"
                                      : "user" + std::to_string(i) + "@domain" + std::to_string(i % 500) + ".com");
    // A hit by address, a hit by domain, and a miss that tries both.
    const std::string senders[] = {"User 4321 <User4321@Domain321.com>", "anyone@domain5000.org",
                                   "Stranger <stranger@elsewhere.net>"};
    for (auto _ : state) {
        for (const std::string& sender : senders) benchmark::DoNotOptimize(is_authorized(authorized, sender));
    }
    state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(bm_is_authorized_10000);

}  // namespace
