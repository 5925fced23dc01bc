// The authentication verdict on header blocks as providers write them, read through GMime as the
// host reads mail: which senders may be challenged, and the reason given for the others.
#include <gtest/gtest.h>

#include "common/mime.h"
#include "policy/auth_results.h"

namespace {

struct verdict_row {
    const char* name;
    const char* headers;  // the Authentication-Results fields, folded as delivered
    const char* from;
    bool authenticated;
    const char* reason;  // when not authenticated
};

const std::vector<std::string> trusted = {"mx.home.example", "MX.Google.com", "mx4.messagingengine.com"};

const verdict_row verdict_rows[] = {
    {"Gmail-like: dkim with header.i, spf, dmarc",
     "Authentication-Results: mx.google.com;\n"
     "       dkim=pass header.i=@example.com header.s=20230601 header.b=Ab+/Cd12;\n"
     "       spf=pass (google.com: domain of alice@example.com designates 209.85.220.41 as permitted sender)\n"
     " smtp.mailfrom=alice@example.com;\n"
     "       dmarc=pass (p=NONE sp=NONE dis=NONE) header.from=example.com\n",
     "alice@example.com", true, ""},
    {"Gmail-like forgery: everything fails",
     "Authentication-Results: mx.google.com;\n"
     "       spf=fail (google.com: domain of bank@bank.example does not designate 198.51.100.7 as permitted "
     "sender) smtp.mailfrom=bank@bank.example;\n"
     "       dmarc=fail (p=REJECT sp=REJECT dis=QUARANTINE) header.from=bank.example\n",
     "bank@bank.example", false, "not authenticated: spf=fail dmarc=fail"},
    {"Microsoft-like with a version; dmarc's action=none is ignored",
     "Authentication-Results: mx.home.example 1; spf=pass (sender IP is 40.107.22.88)\n"
     " smtp.mailfrom=contoso.example; dkim=pass (signature was verified)\n"
     " header.d=contoso.example;dmarc=pass action=none header.from=contoso.example;compauth=pass reason=100\n",
     "ceo@contoso.example", true, ""},
    {"Microsoft-like without a service id is nobody's",
     "Authentication-Results: spf=pass (sender IP is 40.107.22.88) smtp.mailfrom=contoso.example;\n"
     " dmarc=pass action=none header.from=contoso.example\n",
     "ceo@contoso.example", false, "no trusted Authentication-Results"},
    {"Fastmail/Cyrus-like: dkim of a subdomain, bare extensions, quoted values",
     "Authentication-Results: mx4.messagingengine.com;\n"
     "    dkim=pass (2048-bit rsa key sha256) header.d=mail.shop.example header.i=@mail.shop.example\n"
     "      header.b=\"AbCd1234\" header.a=rsa-sha256 header.s=fm1 x-bits=2048;\n"
     "    dmarc=none policy.published-domain-policy=none header.from=shop.example;\n"
     "    iprev=pass smtp.remote-ip=66.111.4.28 (out4-smtp.messagingengine.com);\n"
     "    spf=none smtp.mailfrom=bounce@esp.example smtp.helo=out4.esp.example;\n"
     "    x-tls=pass smtp.version=TLSv1.3 smtp.bits=256/256; x-vs=clean score=-100 state=0\n",
     "orders@shop.example", true, ""},
    {"spf passes for another domain: not aligned",
     "Authentication-Results: mx.home.example; spf=pass smtp.mailfrom=bounces+123=x@esp.example;\n"
     " dkim=pass header.d=esp.example\n",
     "news@shop.example", false, "not authenticated: spf=pass (not aligned) dkim=pass (not aligned)"},
    {"sibling subdomains share their organisational domain",
     "Authentication-Results: mx.home.example; spf=pass smtp.mailfrom=a.shop.example\n", "x@b.shop.example", true, ""},
    {"a look-alike domain does not align",
     "Authentication-Results: mx.home.example; dkim=pass header.d=badshop.example\n", "x@shop.example", false,
     "not authenticated: dkim=pass (not aligned)"},
    {"a top-level domain vouches for nobody", "Authentication-Results: mx.home.example; dkim=pass header.d=example\n",
     "x@shop.example", false, "not authenticated: dkim=pass (not aligned)"},
    {"dmarc=pass judged another From domain",
     "Authentication-Results: mx.home.example; dmarc=pass header.from=other.example\n", "x@shop.example", false,
     "not authenticated: dmarc=pass (not aligned)"},
    {"a forged pass from an untrusted id is ignored; the trusted one fails",
     "Authentication-Results: mx.home.example; spf=softfail smtp.mailfrom=pay@bank.example; dmarc=fail\n"
     "Authentication-Results: mx.bank.example; dmarc=pass header.from=bank.example\n",
     "pay@bank.example", false, "not authenticated: spf=softfail dmarc=fail"},
    {"only untrusted ids", "Authentication-Results: mx.home.example.evil; dmarc=pass\n", "x@shop.example", false,
     "no trusted Authentication-Results"},
    {"the id in any letter case, comments everywhere, a quoted id, trailing dots",
     "Authentication-Results: (front) \"MX.Home.Example\" (nested (comment; dmarc=fail)) ;\n"
     "\t(lead) SPF (a) = (b) Pass (c) smtp (d) . (e) mailfrom (f) = (g) Bob@Shop.Example. (h)\n",
     "bob@shop.example.", true, ""},
    {"none", "Authentication-Results: mx.home.example; none\n", "x@shop.example", false,
     "not authenticated: no spf, dkim or dmarc result"},
    {"an unclosed comment drops the whole field", "Authentication-Results: mx.home.example; dmarc=pass (oops\n",
     "x@shop.example", false, "no trusted Authentication-Results"},
    {"an unclosed quote drops the whole field",
     "Authentication-Results: mx.home.example; dkim=pass header.b=\"abc; dmarc=pass\n", "x@shop.example", false,
     "no trusted Authentication-Results"},
    {"an unknown version drops the field", "Authentication-Results: mx.home.example 2; dmarc=pass\n", "x@shop.example",
     false, "no trusted Authentication-Results"},
    {"malformed entries are left out, the readable ones count",
     "Authentication-Results: mx.home.example; dmarc=pass!; spf pass smtp.mailfrom=shop.example;\n"
     " dkim=pass header.d=shop.example header.d=evil.example; spf=fail smtp.mailfrom=shop.example\n",
     "x@shop.example", false, "not authenticated: spf=fail"},
    {"a property without a value, or junk after one, drops the entry",
     "Authentication-Results: mx.home.example; spf=pass smtp.mailfrom=; dkim=pass header.d=shop.example\"x\"\n",
     "x@shop.example", false, "not authenticated: no spf, dkim or dmarc result"},
    {"a From without a domain is never authenticated",
     "Authentication-Results: mx.home.example; dmarc=pass; spf=pass smtp.mailfrom=shop.example\n", "Shop", false,
     "not authenticated: dmarc=pass (not aligned) spf=pass (not aligned)"},
    {"two trusted fields: the topmost fails and decides",
     "Authentication-Results: mx.home.example; dkim=fail header.d=shop.example\n"
     "Authentication-Results: mx.home.example; dmarc=pass header.from=shop.example\n",
     "x@shop.example", false, "not authenticated: dkim=fail"},
    {"no field at all", "", "x@shop.example", false, "no trusted Authentication-Results"},

    // Only the top block counts: what lies below the first Received field came with the message.
    {"a trusted pass below a Received field",
     "Received: from mx.evil.example by mx.home.example; Mon, 1 Jan 2024 00:00:00 +0000\n"
     "Authentication-Results: mx.home.example; dmarc=pass header.from=shop.example\n",
     "x@shop.example", false, "no trusted Authentication-Results above the first Received field"},
    {"the top block fails; a pass below a lower-case received is ignored",
     "Authentication-Results: mx.home.example; dmarc=fail header.from=shop.example\n"
     "received: from mx.evil.example by mx.home.example\n"
     "Authentication-Results: MX.HOME.EXAMPLE; spf=pass smtp.mailfrom=shop.example; dmarc=pass\n",
     "x@shop.example", false, "not authenticated: dmarc=fail"},
    {"an untrusted top field and a trusted pass below",
     "Authentication-Results: mx.other.example; dmarc=pass header.from=shop.example\n"
     "Received: from a by b\n"
     "Received: from c by d\n"
     "Authentication-Results: mx.home.example; dmarc=pass header.from=shop.example\n",
     "x@shop.example", false, "no trusted Authentication-Results above the first Received field"},
    {"the topmost trusted field passes; a later failing one is not read",
     "Return-Path: <x@shop.example>\n"
     "Authentication-Results: mx.home.example; dkim=pass header.d=shop.example\n"
     "Authentication-Results: mx.home.example; spf=fail smtp.mailfrom=shop.example\n"
     "Received: from mx.shop.example by mx.home.example\n",
     "x@shop.example", true, ""},
    {"an unreadable trusted-looking field is passed over to the next above the Received",
     "Authentication-Results: mx.home.example; dmarc=pass (open\n"
     "Authentication-Results: mx.home.example; dmarc=fail\n"
     "Received: from a by b\n",
     "x@shop.example", false, "not authenticated: dmarc=fail"},

    // Organisational domains come from the Public Suffix List, its private part included.
    {"a name under a public suffix does not vouch for the suffix",
     "Authentication-Results: mx.home.example; dkim=pass header.d=attacker.duckdns.org\n", "x@duckdns.org", false,
     "not authenticated: dkim=pass (not aligned)"},
    {"nor the suffix for a name under it",
     "Authentication-Results: mx.home.example; spf=pass smtp.mailfrom=duckdns.org\n", "x@victim.duckdns.org", false,
     "not authenticated: spf=pass (not aligned)"},
    {"siblings under a public suffix belong to different owners",
     "Authentication-Results: mx.home.example; dkim=pass header.d=attacker.duckdns.org\n", "x@victim.duckdns.org",
     false, "not authenticated: dkim=pass (not aligned)"},
    {"a subdomain of a name under a public suffix aligns",
     "Authentication-Results: mx.home.example; dkim=pass header.d=victim.duckdns.org\n", "x@mail.victim.duckdns.org",
     true, ""},
    {"evil.co.uk does not vouch for bank.co.uk",
     "Authentication-Results: mx.home.example; spf=pass smtp.mailfrom=pay@evil.co.uk; dkim=pass header.d=co.uk\n",
     "pay@bank.co.uk", false, "not authenticated: spf=pass (not aligned) dkim=pass (not aligned)"},
    {"a subdomain of bank.co.uk does", "Authentication-Results: mx.home.example; dkim=pass header.d=mail.bank.co.uk\n",
     "pay@Bank.Co.UK", true, ""},
    {"an international name in either form",
     "Authentication-Results: mx.home.example; dkim=pass header.d=mail.xn--bcher-kva.example\n",
     "info@B\xc3\xbc"
     "cher.example",
     true, ""},
    {"addresses are no names", "Authentication-Results: mx.home.example; spf=pass smtp.mailfrom=x@9.2.0.192\n",
     "x@10.2.0.192", false, "not authenticated: spf=pass (not aligned)"},
};

}  // namespace

TEST(auth_results, verdict_table) {
    for (const verdict_row& row : verdict_rows) {
        header_summary message = parse_headers(std::string(row.headers) + "From: " + row.from + "\nSubject: hi\n");
        auth_verdict verdict = authentication_verdict(message.headers, row.from, trusted);
        EXPECT_EQ(verdict.authenticated, row.authenticated) << row.name << ": " << verdict.reason;
        EXPECT_EQ(verdict.reason, row.reason) << row.name;
    }
}

TEST(auth_results, parses_the_parts_of_a_field) {
    std::optional<auth_results_field> field = parse_auth_results(
        " mx.home.example;\r\n\tdkim/1=PASS header.i=\"j d\"@Shop.Example (signer) reason=\"ok; fine\";"
        " spf=neutral smtp.mailfrom=@esp.example");
    ASSERT_TRUE(field);
    EXPECT_EQ(field->authserv_id, "mx.home.example");
    ASSERT_EQ(field->results.size(), 2u);
    EXPECT_EQ(field->results[0].method, "dkim");
    EXPECT_EQ(field->results[0].result, "pass");
    EXPECT_EQ(field->results[0].property("header.i"), "j d@Shop.Example");
    EXPECT_EQ(field->results[1].property("smtp.mailfrom"), "@esp.example");
    EXPECT_FALSE(parse_auth_results(""));
    EXPECT_FALSE(parse_auth_results("   (only a comment)"));
}
