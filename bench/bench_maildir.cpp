// The Linux host reads every new message once and, for each release or expiry, the headers of
// every message in the pending folder: header parsing, MIME walking and folder scans are what
// a large Maildir costs.
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/mime.h"
#include "mailer/store_mailer.h"
#include "platform/text.h"
#include "store/maildir.h"
#include "store/maildir_store.h"

namespace {

const std::string typical_headers =
    "Return-Path: <bob@example.net>\nDelivered-To: me@home.example\n"
    "Received: from smtp.example.net (smtp.example.net [192.0.2.1])\n\tby mx.home.example with ESMTPS id 4Tq\n"
    "\tfor <me@home.example>; Mon, 01 Jan 2024 11:00:00 +0000\n"
    "From: =?UTF-8?Q?Bob_Str=C3=A4nger?= <Bob@Example.net>\nTo: Robin Example <me@home.example>\n"
    "Subject: =?UTF-8?B?UXVlc3Rpb24gYWJvdXQgeW91ciBiaWtlIGZvciBzYWxlIOKAkyBzdGlsbCB0aGVyZT8=?=\n"
    "Date: Mon, 01 Jan 2024 11:00:00 +0000\nMessage-ID: <bike-question@example.net>\n"
    "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"b\"\n\n";

std::string multipart_message() {
    std::string attachment;
    for (int line = 0; line < 700; ++line) attachment += std::string(76, 'Q') + "\n";  // about 50 kB of base64
    return typical_headers +
           "--b\nContent-Type: multipart/alternative; boundary=a\n\n--a\n"
           "Content-Type: text/plain; charset=utf-8\nContent-Transfer-Encoding: quoted-printable\n\n"
           "Hello, is the bike still for sale? Gr=C3=BC=C3=9Fe, Bob\n--a\nContent-Type: text/html\n\n"
           "<p>Hello, is the bike still for sale?</p>\n--a--\n--b\nContent-Type: image/jpeg\n"
           "Content-Disposition: attachment; filename=\"bike.jpg\"\nContent-Transfer-Encoding: base64\n\n" +
           attachment + "--b--\n";
}

// A Maildir whose pending folder holds 1000 messages from 100 senders, made once per process
// and removed at its end.
class bench_maildir {
public:
    bench_maildir() {
        base_ = (std::filesystem::temp_directory_path() / "tarnwick-bench-XXXXXX").string();
        if (!::mkdtemp(base_.data())) throw std::runtime_error("cannot make a temporary folder");
        root_ = base_ + "/Maildir";
        maildir::create_folder(root_, "");
        maildir::create_folder(root_, "Pending");
        std::string body = multipart_message().substr(typical_headers.size());
        for (int i = 0; i < 1000; ++i) {
            std::string headers = typical_headers;
            headers.replace(headers.find("Bob@Example.net"), 15, "sender" + std::to_string(i % 100) + "@example.net");
            std::ofstream(root_ + "/.Pending/cur/" + std::to_string(1700000000 + i) + ".M1P1Q" + std::to_string(i) +
                          ".bench:2,S")
                << headers << body;
        }
    }
    ~bench_maildir() {
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
    }
    const std::string& root() const { return root_; }

private:
    std::string base_;
    std::string root_;
};

const std::string& pending_maildir() {
    static bench_maildir made;
    return made.root();
}

void bm_parse_headers(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(parse_headers(typical_headers));
}
BENCHMARK(bm_parse_headers);

void bm_parse_content_multipart_50k(benchmark::State& state) {
    const std::string message = multipart_message();
    for (auto _ : state) benchmark::DoNotOptimize(parse_content(message));
    state.SetBytesProcessed(state.iterations() * static_cast<long>(message.size()));
}
BENCHMARK(bm_parse_content_multipart_50k);

void bm_list_folder_1000(benchmark::State& state) {
    std::string folder = maildir::folder_directory(pending_maildir(), "Pending");
    for (auto _ : state) benchmark::DoNotOptimize(maildir::list_all_messages(folder));
}
BENCHMARK(bm_list_folder_1000);

// What a release costs: every message of the pending folder is asked for its sender.
void bm_find_messages_from_1000(benchmark::State& state) {
    com_ptr<store_mailer> host = store_mailer::create(maildir_store::open(pending_maildir()), {});
    variant_holder pending;
    com_ptr<IUnknown> inbox;
    host->get_incoming_folder(inbox.put());
    VARIANT parent;
    VariantInit(&parent);
    parent.vt = VT_UNKNOWN;
    parent.punkVal = inbox.get();
    bstr_holder name(bstr_from_narrow("Pending"));
    host->create_subfolder(parent, name.get(), pending.put());
    bstr_holder sender(bstr_from_narrow("sender7@example.net"));
    for (auto _ : state) {
        com_ptr<IEnumVARIANT> found;
        host->find_messages_from(pending->punkVal, sender.get(), found.put());
        benchmark::DoNotOptimize(found.get());
    }
}
BENCHMARK(bm_find_messages_from_1000);

}  // namespace
