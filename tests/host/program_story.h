// The fixture of the whole-program stories: a Maildir in a temporary folder, and the real
// `tarnwick` called with the data folder beside it.
#pragma once

#include <gtest/gtest.h>

#include "maildir_fixture.h"
#include "program_runner.h"

// Mail from a stranger, as delivered.
inline std::string unknown_sender(const std::string& who, const std::string& id) {
    return mail_text({"Return-Path: <" + who + ">", "Delivered-To: me@home.example", "From: " + who,
                      "To: me@home.example", "Subject: Hello from " + who, "Message-ID: <" + id + ">"});
}

class program_story : public testing::Test {
protected:
    std::string data() const { return tree.base() + "/data"; }
    // `args` with the data folder of every call.
    std::vector<std::string> with_data(std::vector<std::string> args) const {
        args.push_back("--data-dir");
        args.push_back(data());
        return args;
    }
    outcome tarnwick(const std::vector<std::string>& args, const std::string& input = "",
                     const std::vector<std::string>& environment = {}) {
        return run(tree.base(), with_data(args), input, environment);
    }
    // Protection on, with the demo's key. Expiry off: the stories' mail is dated long ago, and
    // every pass would move what they park to Trash.
    void configure() {
        outcome set =
            tarnwick({"config", "set", "EnableProtection", "true", "AutoDeleteBlocked", "false", "MarkBlockedAsRead",
                      "true", "ARSubjectKey", "[TWK-TESTKEY]", "ARSubject", "Please confirm [TWK-TESTKEY]"});
        ASSERT_EQ(set.code, 0) << set.err;
    }
    std::vector<std::string> list(const std::string& name) {
        outcome shown = tarnwick({"list", "show", name});
        EXPECT_EQ(shown.code, 0) << shown.err;
        return lines_of(shown.out);
    }
    // A --sendmail command: a shell script with `body`, which takes the arguments it is given.
    std::string sendmail_script(const std::string& name, const std::string& body) const {
        std::string path = tree.base() + "/" + name + ".sh";
        write_text_file(path, body + "\n");
        return "sh '" + path + "'";
    }
    // Expects each of `lines` somewhere in `text`, naming the one missing.
    static void expect_lines(const std::string& text, const std::vector<std::string>& lines) {
        for (const std::string& line : lines)
            EXPECT_NE(text.find(line), std::string::npos) << "missing \"" << line << "\" in\n" << text;
    }

    maildir_tree tree;
};
