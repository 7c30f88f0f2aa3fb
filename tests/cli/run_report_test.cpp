// The JSON report's strings: paths and reasons may hold any bytes.
#include "cli/run_report.h"

#include <gtest/gtest.h>

namespace nvx::cli {
namespace {

TEST(RunReport, StringsAreValidJsonWhateverBytesTheyHold) {
    struct Case {
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {"plain/path.svs", "\"plain/path.svs\""},
        {"say \"hi\" \\ there", "\"say \\\"hi\\\" \\\\ there\""},
        {"tab\there\nnew\x7f", "\"tab\\u0009here\\u000anew\\u007f\""},
        {"caf\xc3\xa9 \xe5\x88\x87\xe7\x89\x87", "\"caf\xc3\xa9 \xe5\x88\x87\xe7\x89\x87\""},
        // A GBK name, a lone continuation byte, a cut sequence, an overlong
        // slash and a surrogate: each bad byte becomes U+FFFD.
        {"\xc7\xd0.nvx", "\"\\ufffd\\ufffd.nvx\""},
        {"a\x80z", "\"a\\ufffdz\""},
        {"end\xe5\x88", "\"end\\ufffd\\ufffd\""},
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
    };
    for (const Case& c : cases) EXPECT_EQ(JsonString(c.text), c.json) << c.text;
}

}  // namespace
}  // namespace nvx::cli
