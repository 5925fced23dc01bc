// Pending mail past its time goes to Trash at every pass, and with `tarnwick expire` alone: the
// add-in's own expiry, so its debug log tells it, and no verdict of the user's is taken from it.
#include <algorithm>
#include <ctime>

#include "program_story.h"

namespace {

constexpr long day = 24 * 3600;

class expiry_test : public program_story {
protected:
    std::string debug_log() const { return read_text_file(data() + "/OstrelAntiSpam/dlog.log"); }
    // The pending folder's file of the mail from `who`; "" when there is none.
    std::string parked_from(const std::string& who) const {
        for (const std::string& name : tree.files_in("Pending", "cur"))
            if (read_text_file(tree.folder_dir("Pending") + "/cur/" + name).find("From: " + who) != std::string::npos)
                return tree.folder_dir("Pending") + "/cur/" + name;
        return "";
    }
};

}  // namespace

TEST_F(expiry_test, run_deliver_and_expire_move_pending_mail_past_its_time_to_trash) {
    configure();
    ASSERT_EQ(tarnwick({"config", "set", "AutoDeleteBlocked", "true"}).code, 0);
    const long now = std::time(nullptr);
    tree.add("", "new", "1.young.test", unknown_sender("young@example.org", "young@x"), now);
    ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
    size_t trashed = 0;
    for (std::string command : {"run", "deliver", "expire"}) {
        SCOPED_TRACE(command);
        std::string who = command + "@example.org";
        tree.add("", "new", "2." + command + ".test", unknown_sender(who, command + "@x"), now);
        ASSERT_EQ(tarnwick({"run", "--maildir", tree.root()}).code, 0);
        std::string parked = parked_from(who);
        ASSERT_NE(parked, "");
        // Fifteen days and an hour pass: the default expiry is 14 days.
        set_arrival(parked, now - 15 * day - 3600);

        outcome ran = command == "deliver"
                          ? tarnwick({"deliver", "--maildir", tree.root()}, unknown_sender("new@example.org", "n@x"))
                          : tarnwick({command, "--maildir", tree.root()});
        ASSERT_EQ(ran.code, 0) << ran.out << ran.err;
        EXPECT_EQ(parked_from(who), "");
        EXPECT_EQ(tree.files_in("Trash", "cur").size() + tree.files_in("Trash", "new").size(), ++trashed);
        expect_lines(debug_log(),
                     {"delete_last_mail: received 14 days ago, from: " + who + ", hours since received: 36"});
        if (command == "expire") expect_lines(ran.out, {"1 message expired from Pending (moved to Trash)"});
        EXPECT_NE(parked_from("young@example.org"), "");
        std::vector<std::string> pending = list("pending");
        EXPECT_EQ(std::count(pending.begin(), pending.end(), who), 0);
    }
    // The filter's moves to Trash are no verdicts.
    EXPECT_EQ(list("remove"), std::vector<std::string>{});
}
