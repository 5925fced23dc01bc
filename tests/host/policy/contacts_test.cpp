// The address book: vCards in their versions, folders of them, plain address lists.
#include <gtest/gtest.h>

#include <filesystem>

#include "policy/contacts.h"
#include "support/temp_dir.h"

TEST(contacts, vcards_of_every_version_give_their_addresses) {
    const std::string cards =
        "BEGIN:VCARD\r\nVERSION:2.1\r\nN:One\r\nEMAIL;INTERNET;PREF:one@example.org\r\nEND:VCARD\r\n"
        "BEGIN:VCARD\nVERSION:3.0\nitem1.EMAIL;type=INTERNET:two@exam\n ple.org\nitem1.X-ABLabel:work\n"
        "TEL:+1 555 0100\nEND:VCARD\n"
        "begin:vcard\nversion:4.0\nemail;pref=1:mailto:Three@Example.org\nEMAIL:one@EXAMPLE.org\n"
        "NOTE:email me at four@example.org\nend:vcard\n";
    EXPECT_EQ(vcard_addresses(cards),
              (std::vector<std::string>{"one@example.org", "two@example.org", "Three@Example.org"}));
}

TEST(contacts, a_file_a_folder_or_a_plain_list) {
    temp_dir dir;
    write_text_file(dir.file("plain.txt"), "# my friends\nann@example.org\n\n  bob@example.org  \nANN@example.org\n");
    std::filesystem::create_directory(dir.file("cards"));
    write_text_file(dir.file("cards/b.vcf"), "BEGIN:VCARD\nEMAIL:b@example.org\nEND:VCARD\n");
    write_text_file(dir.file("cards/a.VCF"), "BEGIN:VCARD\nEMAIL:a@example.org\nEND:VCARD\n");
    write_text_file(dir.file("cards/notes.txt"), "not a card: c@example.org\n");
    std::string error;
    EXPECT_EQ(read_contacts(dir.file("plain.txt"), error),
              (std::vector<std::string>{"ann@example.org", "bob@example.org"}));
    EXPECT_EQ(read_contacts(dir.file("cards"), error), (std::vector<std::string>{"a@example.org", "b@example.org"}));
    EXPECT_FALSE(read_contacts(dir.file("missing.vcf"), error));
    EXPECT_NE(error.find("missing.vcf"), std::string::npos);
}

TEST(contacts, a_mailto_value_is_trimmed_after_its_scheme) {
    // A blank after "mailto:" used to stay at the front of the address.
    const std::string card =
        "BEGIN:VCARD\r\nVERSION:2.1\r\nEMAIL:mailto:\r\n  bob@example.org\r\n"
        "EMAIL:MAILTO:\t ann@example.org \r\nEMAIL:mailto: \r\nEND:VCARD\r\n";
    EXPECT_EQ(vcard_addresses(card), (std::vector<std::string>{"bob@example.org", "ann@example.org"}));
}
