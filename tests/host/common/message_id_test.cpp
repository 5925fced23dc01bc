// Reading message ids: the strict reading keeps only what may be written back into a reply, the
// lenient one what other programs write, to be matched.
#include <gtest/gtest.h>

#include "common/message_id.h"

TEST(message_ids, strict_and_lenient_readings_of_hostile_fields) {
    using ids = std::vector<std::string>;
    struct row {
        std::string raw;
        ids strict;
        ids lenient;
    };
    const std::string long_id = "<" + std::string(250, 'a') + "@x>";
    const row rows[] = {
        {"<a@x> <b@y>", {"<a@x>", "<b@y>"}, {"<a@x>", "<b@y>"}},
        {"Ann's message <<a@x>", {"<a@x>"}, {"<a@x>"}},
        {"<a@x", {}, {}},
        {"<>", {}, {}},
        {"<ab> <a b@x>", {}, {"<ab>"}},
        {"<a@[10.0.0.1]> <m@[x>", {"<a@[10.0.0.1]>"}, {"<a@[10.0.0.1]>", "<m@[x>"}},
        {"<a@b@c> <@x> <a@> <a\"q\"@x>", {}, {"<a@b@c>", "<@x>", "<a@>", "<a\"q\"@x>"}},
        {"<a\x01@x> <a\x7F@x>", {}, {}},
        {"<caf\xC3\xA9@x>", {}, {"<caf\xC3\xA9@x>"}},
        {long_id, {}, {long_id}},
    };
    for (const row& r : rows) {
        EXPECT_EQ(message_ids_in(r.raw, message_id_reading::strict), r.strict) << "strict: " << r.raw;
        EXPECT_EQ(message_ids_in(r.raw, message_id_reading::lenient), r.lenient) << "lenient: " << r.raw;
    }
}
