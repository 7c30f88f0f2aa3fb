// The JSON report: valid JSON whatever bytes its paths and reasons hold,
// with the schema's fields in the schema's order.
#include "cli/run_report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace nvx::cli {
namespace {

TEST(RunReport, IsValidJsonWhateverBytesItsPathsHold) {
    struct Case {
        std::string text;
        std::string read;  // what a strict reader reads back
    };
    const std::string bad = "\xef\xbf\xbd";  // U+FFFD
    const Case cases[] = {
        {"plain/path.svs", "plain/path.svs"},
        {"say \"hi\" \\ there", "say \"hi\" \\ there"},
        {"tab\there\nnew\x7f\x01", "tab\there\nnew\x7f\x01"},
        {"caf\xc3\xa9 \xe5\x88\x87\xe7\x89\x87", "caf\xc3\xa9 \xe5\x88\x87\xe7\x89\x87"},
        // A GBK name, a lone continuation byte, a cut sequence, an overlong
        // slash and a surrogate: what is not UTF-8 becomes U+FFFD.
        {"\xc7\xd0.nvx", bad + bad + ".nvx"},
        {"a\x80z", "a" + bad + "z"},
        {"end\xe5\x88", "end" + bad},
        {"\xc0\xaf", bad + bad},
        {"\xed\xa0\x80", bad + bad + bad},
    };
    for (const Case& c : cases) {
        RunFacts facts;
        facts.input = c.text;
        facts.output = c.text;
        facts.choices.dicom = true;
        facts.choices.dicomMetadataPath = c.text;
        const std::string text = RunReportJson(facts, c.text, 1.5, -1, -1);
        nlohmann::json report;
        ASSERT_NO_THROW(report = nlohmann::json::parse(text)) << text;
        EXPECT_EQ(report["input"], c.read) << c.text;
        EXPECT_EQ(report["output_folder"], c.read) << c.text;
        EXPECT_EQ(report["reason"], c.read) << c.text;
        EXPECT_EQ(report["options"]["dicom_metadata"], c.read) << c.text;
    }
}

TEST(RunReport, KeepsTheSchemaOrderAndItsMeasures) {
    RunFacts facts;
    facts.status = -1;
    facts.micronsPerPixel = 0.23984199762344360;  // a float's value
    facts.levels.push_back({1000, 600, 240, 3, 2, 10});
    const std::string text = RunReportJson(facts, "", 2.0 / 3.0, 0.25, 4096);
    const nlohmann::ordered_json report = nlohmann::ordered_json::parse(text);
    std::vector<std::string> keys;
    for (const auto& item : report.items()) keys.push_back(item.key());
    const std::vector<std::string> order = {"status",
                                            "converted",
                                            "reason",
                                            "input",
                                            "output",
                                            "format",
                                            "output_folder",
                                            "output_replaced",
                                            "region",
                                            "dicom",
                                            "levels",
                                            "mpp",
                                            "mpp_source",
                                            "options",
                                            "cpus",
                                            "seconds",
                                            "peak_memory_bytes",
                                            "version"};
    EXPECT_EQ(keys, order);
    EXPECT_EQ(report["converted"], false);
    EXPECT_EQ(report["cpus"], nullptr);
    EXPECT_EQ(report["output"], nullptr);
    EXPECT_EQ(report["mpp"], 0.239842);
    EXPECT_EQ(report["seconds"]["wall"], 0.666667);
    EXPECT_EQ(report["levels"][0]["tiles"], 15);  // 5 x 3 of 240
    EXPECT_EQ(report["levels"][0]["routes"]["from_pixels"], 10);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(report["dicom"], nullptr) << "no DICOM folder was published";
}

TEST(RunReport, ListsTheDicomFoldersInstancesWithTheirUids) {
    RunFacts facts;
    facts.choices.dicom = true;
    facts.studyUid = "2.25.1";
    facts.seriesUid = "2.25.2";
    facts.instances = {{"level-0.dcm", "2.25.3", "2.25.2"}, {"label.dcm", "2.25.4", "2.25.5"}};
    const nlohmann::ordered_json report =
        nlohmann::ordered_json::parse(RunReportJson(facts, "", 1, 1, 1));
    EXPECT_EQ(report["dicom"], nlohmann::ordered_json::parse(R"({"study_instance_uid": "2.25.1",
                  "series_instance_uid": "2.25.2",
                  "instances": [{"file": "level-0.dcm", "sop_instance_uid": "2.25.3",
                                 "series_instance_uid": "2.25.2"},
                                {"file": "label.dcm", "sop_instance_uid": "2.25.4",
                                 "series_instance_uid": "2.25.5"}]})"));
}

}  // namespace
}  // namespace nvx::cli
