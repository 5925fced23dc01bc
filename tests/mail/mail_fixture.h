// A fresh in-memory host installed as the current mailer for each test; at the end every
// reference the host handed out must have been released.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "mail/accounts.h"
#include "mail/email.h"
#include "mail/mailer_host.h"
#include "support/memory_host.h"

class mail_test : public testing::Test {
protected:
    void SetUp() override { g_mailer = host.mailer(); }
    void TearDown() override {
        reset_all_accounts();
        g_mailer.reset();
        g_savedMailer.reset();
        EXPECT_EQ(host.outstanding_references(), 0) << host.describe_outstanding();
    }

    // A message in the incoming folder.
    memory_host::message_id add(memory_host::message_spec spec) {
        return host.add_message(host.incoming(), std::move(spec));
    }
    // The mail model's record of a host message.
    std::unique_ptr<a_email> record(memory_host::message_id id) {
        com_ptr<IUnknown> object = host.message_object(id);
        return make_email(memory_host::unknown_view(object.get()));
    }

    memory_host host;
};
