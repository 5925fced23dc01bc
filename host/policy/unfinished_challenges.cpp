#include "policy/unfinished_challenges.h"

#include <set>
#include <string>
#include <vector>

#include "common/mime.h"
#include "contract/addin_data.h"
#include "policy/friends.h"
#include "policy/reply.h"

void finish_unfinished_challenges(addin_client& addin, mailer_record& host) {
    host.remove_leftovers();
    std::vector<challenge_intent> sent = host.challenges_left_under_way();
    if (sent.empty()) return;
    std::set<std::string> listed;
    for (LONG list : {authorized_list_number, remove_list_number, ignore_list_number, pending_list_number}) {
        std::optional<std::vector<std::string>> entries = list_entries(addin, list);
        if (!entries) {
            host.note_upkeep_failure(
                "the challenges a run that ended early sent are not finished: the filter's "
                "lists cannot be read");
            return;
        }
        for (const std::string& entry : *entries) listed.insert(ascii_lower(entry));
    }
    std::vector<std::string> finished;
    for (const challenge_intent& entry : sent) {
        std::string whole_domain = ".@" + entry.address.substr(entry.address.rfind('@') + 1);
        if (!listed.count(entry.address) && !listed.count(whole_domain)) {
            dispatch_arguments arguments;
            arguments.add_long(pending_list_number).add_text(entry.address);
            variant_holder ignored;
            HRESULT hr = addin.invoke("AddToList", DISPATCH_METHOD, arguments, ignored.put());
            if (FAILED(hr)) {
                host.note_upkeep_failure(
                    "cannot put " + one_line(entry.address) +
                    ", challenged by a run that ended early, on the pending list: " + describe_hresult(hr));
                continue;
            }
            listed.insert(entry.address);
        }
        finished.push_back(entry.message);
    }
    host.forget_challenges(finished);
}
