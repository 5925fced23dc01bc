// Challenges handed to a real SMTP receiver on the loopback: every way of reaching it, and every way
// it must refuse to go on.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "servers/smtp_recorder.h"
#include "servers/test_ca.h"
#include "store/smtp_submission.h"

namespace {

const char* const message =
    "From: ann@home.example\nTo: bob@example.net\nSubject: Please confirm\n\n.a line with a dot\n.\n..two\nlast";
const char* const as_received =
    "From: ann@home.example\r\nTo: bob@example.net\r\nSubject: Please confirm\r\n\r\n.a line with a dot\r\n.\r\n"
    "..two\r\nlast\r\n";

}  // namespace

TEST(smtp_submission, sends_with_the_null_sender_to_one_recipient_only_over_trusted_tls) {
    const test_ca& ca = the_test_ca();
    using s = smtp_recorder;
    struct row {
        const char* name;
        s::settings server;
        std::string url;  // "PORT" stands for the recorder's port
        std::string ca_file, password;
        const char* error;  // "" when it must be delivered
    };
    const row rows[] = {
        {"plain on the loopback", {}, "smtp://127.0.0.1:PORT", "", "", ""},
        {"plain with AUTH", {s::plain, "ann", "pw"}, "smtp://ann@localhost:PORT", "", "pw", ""},
        {"STARTTLS", {s::starttls, "ann", "pw"}, "smtp://ann@localhost:PORT", ca.ca_file, "pw", ""},
        {"implicit TLS", {s::implicit_tls, "ann", "pw"}, "smtps://ann@127.0.0.1:PORT", ca.ca_file, "pw", ""},
        {"STARTTLS, unknown CA",
         {s::starttls, "ann", "pw"},
         "smtp://ann@127.0.0.1:PORT",
         ca.other_ca_file,
         "pw",
         "certificate not trusted (unknown authority) for 127.0.0.1"},
        {"implicit TLS, system CAs",
         {s::implicit_tls, "ann", "pw"},
         "smtps://ann@localhost:PORT",
         "",
         "pw",
         "certificate not trusted (unknown authority) for localhost"},
        {"wrong password",
         {s::implicit_tls, "ann", "pw"},
         "smtps://ann@localhost:PORT",
         ca.ca_file,
         "s3cret!",
         "login as ann failed: the server answered 535"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        smtp_recorder server(r.server);
        std::string text = r.url, error;
        text.replace(text.find("PORT"), 4, std::to_string(server.port()));
        std::optional<mail_url> url = parse_mail_url(text, mail_url::smtp, error);
        ASSERT_TRUE(url) << error;
        bool sent = submit_message(*url, r.password, {r.ca_file, 10}, "bob@example.net", message, error);
        std::vector<smtp_recorder::envelope> got = server.envelopes();
        if (*r.error == 0) {
            ASSERT_TRUE(sent) << error;
            ASSERT_EQ(got.size(), 1u);
            std::vector<std::string> commands{"MAIL FROM:<>", "RCPT TO:<bob@example.net>"};
            if (!r.server.user.empty()) commands.push_back("AUTH ann");
            EXPECT_EQ(got[0].commands, commands);
            EXPECT_EQ(got[0].data, as_received);
            continue;
        }
        EXPECT_FALSE(sent);
        EXPECT_TRUE(got.empty());
        EXPECT_NE(error.find(r.error), std::string::npos) << error;
        EXPECT_NE(error.find(text), std::string::npos) << "names the server: " << error;
        EXPECT_EQ(error.find(r.password), std::string::npos) << error;
        // A server not trusted never sees the password.
        if (std::string(r.error).starts_with("certificate")) {
            EXPECT_TRUE(server.auth_attempts().empty());
        }
    }
}

TEST(smtp_submission, gives_up_on_a_server_that_stalls) {
    smtp_recorder server({.stall = true});
    std::string error;
    std::optional<mail_url> url =
        parse_mail_url("smtp://127.0.0.1:" + std::to_string(server.port()), mail_url::smtp, error);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(submit_message(*url, "", {"", 2}, "bob@example.net", message, error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    EXPECT_NE(error.find("sending the message failed: the connection broke or timed out"), std::string::npos) << error;
    // A server that never greets: the connection's first read has the timeout too.
    int silent = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(listen(silent, 1), 0);
    ASSERT_EQ(getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size), 0);
    url->port = ntohs(address.sin_port);
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(submit_message(*url, "", {"", 2}, "bob@example.net", message, error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    EXPECT_NE(error.find("the greeting failed"), std::string::npos) << error;
    close(silent);
    // Nor does an address that would break the command line go out.
    EXPECT_FALSE(submit_message(*url, "", {"", 2}, "bob@example.net>\r\nRCPT TO:<eve@example.net", message, error));
    EXPECT_NE(error.find("not a plain address"), std::string::npos) << error;
}
