// The bench report: CSV quoting and formula neutralising, the JSON fields, and how writing it fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

#include "cli/BenchReport.h"
#include "cli/CliStatus.h"
#include "tests/support/WorkDirScope.h"

namespace {

CBenchRow SwitchedRow()
{
    CBenchRow row;
    row.strLabel = "A3";
    row.strSlot = "1-4.2";
    row.ports = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    row.strModel = "E1550";
    row.strImei = "356938035643809";
    row.strCommand = "close-autorun";
    row.ePhase = ESwitchPhase::kBack;
    row.phaseSeconds = {0.0125, 1.5, std::nullopt, std::nullopt};
    row.dSeconds = 30;
    row.bFinished = true;
    row.nStatus = kCliNotConfirmed;
    row.strMessage = "the card did not settle";
    row.strTranscript = "bench.log";
    return row;
}

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(BenchReportTest, FormatFollowsTheExtension)
{
    const struct {
        const char* pszPath;
        std::optional<EReportFormat> format;
    } kCases[] = {{"out/bench.csv", EReportFormat::kCsv}, {"BENCH.CSV", EReportFormat::kCsv},
                  {"r.Json", EReportFormat::kJson},       {"bench.txt", std::nullopt},
                  {"csv", std::nullopt},                  {"bench.csv/", std::nullopt}};
    for (const auto& c : kCases)
        EXPECT_EQ(ReportFormatOfPath(c.pszPath), c.format) << c.pszPath;
}

TEST(BenchReportTest, CsvHasOneLinePerCardWithEmptyFieldsForPhasesNotReached)
{
    CBenchRow running = SwitchedRow();
    running.bFinished = false;
    EXPECT_EQ(BenchReportCsv({SwitchedRow(), running}),
              "slot,label,ports,model,imei,command,status,seconds,sent,left,back,settled,message,transcript,modem_manager\r\n"
              "1-4.2,A3,/dev/ttyUSB0 /dev/ttyUSB1,E1550,356938035643809,close-autorun,6,30.000,0.013,1.500,,,"
              "the card did not settle,bench.log,\r\n"
              "1-4.2,A3,/dev/ttyUSB0 /dev/ttyUSB1,E1550,356938035643809,close-autorun,,30.000,0.013,1.500,,,"
              "the card did not settle,bench.log,\r\n");
}

// A message as the card's answer may make it: quoted as RFC 4180 says, never run as a formula.
TEST(BenchReportTest, CsvQuotesAndNeutralisesFormulas)
{
    const struct {
        const char* pszMessage;
        const char* pszField;
    } kCases[] = {
        {"plain", "plain"},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"OK\r\nERROR", "OK\\r\\nERROR"},   // controls as the terminal shows them
        {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
        {"+CME ERROR: 10", "'+CME ERROR: 10"},
        {"-1", "'-1"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"\tcmd", "\\x09cmd"},
        {"  =1+1", "'  =1+1"},
        {" -2", "' -2"},
        {"R2280\xE2\x80\xAE-Y \xC2\x9B" "2J", "R2280\\xE2\\x80\\xAE-Y \\xC2\\x9B2J"},
    };
    for (const auto& c : kCases) {
        CBenchRow row = SwitchedRow();
        row.strMessage = c.pszMessage;
        const std::string strCsv = BenchReportCsv({row});
        const std::string strEnd = std::string(",") + c.pszField + ",bench.log,\r\n";
        ASSERT_GE(strCsv.size(), strEnd.size());
        EXPECT_EQ(strCsv.substr(strCsv.size() - strEnd.size()), strEnd) << c.pszMessage;
    }
}

TEST(BenchReportTest, JsonHasEveryFieldAndShowsBytesThatAreNotUtf8)
{
    CBenchRow unknown = SwitchedRow();
    unknown.strModel.clear();
    unknown.strImei.clear();
    unknown.bFinished = false;
    unknown.strMessage = "garbage \xff\xfe";
    const nlohmann::json j = nlohmann::json::parse(BenchReportJson({SwitchedRow(), unknown}));
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0], nlohmann::json::parse(R"({"slot": "1-4.2", "label": "A3", "ports": ["/dev/ttyUSB0", "/dev/ttyUSB1"],
        "model": "E1550", "imei": "356938035643809", "command": "close-autorun", "status": 6, "seconds": 30.0,
        "sent": 0.013, "left": 1.5, "back": null, "settled": null, "message": "the card did not settle",
        "transcript": "bench.log", "modem_manager": null})"));
    EXPECT_EQ(j[1]["model"], nullptr);
    EXPECT_EQ(j[1]["imei"], nullptr);
    EXPECT_EQ(j[1]["status"], nullptr);
    EXPECT_EQ(j[1]["message"], "garbage \\xFF\\xFE");
}

// Written whole beside the target and renamed over it; on a failure the old report stays as it
// was and nothing is left behind.
TEST(BenchReportTest, WriteReplacesTheReportOrSaysWhatFailed)
{
    CWorkDirScope dir("vostrel-bench-report");
    const std::filesystem::path report = dir.Dir() / "bench.json";
    {
        std::ofstream(report) << "old";
    }
    EXPECT_EQ(WriteBenchReport(report.string(), {SwitchedRow()}), std::nullopt);
    EXPECT_EQ(ReadAll(report), BenchReportJson({SwitchedRow()}));

    const std::string strMissing = (dir.Dir() / "no-such-folder" / "bench.csv").string();
    EXPECT_EQ(WriteBenchReport(strMissing, {SwitchedRow()}),
              "cannot write the report " + strMissing + ": open: no such file or directory");

    const std::filesystem::path folder = dir.Dir() / "folder.csv";
    std::filesystem::create_directory(folder);
    std::filesystem::create_directory(folder / "inside");
    const std::optional<std::string> strFailure = WriteBenchReport(folder.string(), {SwitchedRow()});
    ASSERT_TRUE(strFailure.has_value());
    // Found before the write on POSIX (open: is a directory), at the rename on Windows.
    EXPECT_EQ(strFailure->rfind("cannot write the report " + folder.string() + ": ", 0), 0u) << *strFailure;
    EXPECT_TRUE(std::filesystem::is_directory(folder / "inside"));

    size_t nFiles = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
        ++nFiles;
    EXPECT_EQ(nFiles, 2u);   // bench.json and folder.csv: no temporary file left
}

} // namespace
