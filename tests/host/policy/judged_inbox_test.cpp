// The record of judged inbox mail: names round-trip, a line cut short stays apart, and compaction
// keeps only what is judged and still there.
#include "policy/judged_inbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "maildir_fixture.h"
#include "platform/file_io.h"
#include "support/temp_dir.h"

TEST(judged_inbox_record, keeps_every_name_and_is_compacted_to_the_inbox) {
    temp_dir dir;
    const std::string file = dir.path() + "/" + judged_inbox_file_name;
    EXPECT_FALSE(judged_inbox(dir.path()).exists());
    write_text_file(file, "cut-sh");  // a crash in the middle of a line
    const std::vector<std::string> odd = {"1.a\nb.host", "2.50%.host", "3.tab\t.host", "4.plain"};
    {
        judged_inbox record(dir.path());
        ASSERT_TRUE(record.exists());
        for (const std::string& id : odd) EXPECT_TRUE(record.add(id)) << id;
        EXPECT_TRUE(record.flush());
    }
    judged_inbox again(dir.path());
    for (const std::string& id : odd) EXPECT_TRUE(again.contains(id)) << id;
    EXPECT_TRUE(again.contains("cut-sh"));

    std::vector<std::string> many;
    for (int i = 0; i < 1200; ++i) many.push_back(std::to_string(i) + ".gone");
    ASSERT_TRUE(again.start(many));
    ASSERT_TRUE(again.compact({"7.gone", "5.new"}));
    EXPECT_EQ(read_file(file), "7.gone\n") << "only what is judged and still there";
    EXPECT_TRUE(again.contains("7.gone"));
    EXPECT_FALSE(again.contains("8.gone"));
    // Small enough: left as it is.
    ASSERT_TRUE(again.add("9.more"));
    ASSERT_TRUE(again.compact({}));
    EXPECT_TRUE(judged_inbox(dir.path()).contains("9.more"));
}
