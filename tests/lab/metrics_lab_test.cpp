// linewatch-cli watching two adapters of the lab, scraped by a real
// Prometheus (Debian prometheus) with the shipped alert rules, every second.
// Both run in the monitor namespace and talk over its loopback only.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/network_text.h"
#include "lab/lab_child.h"
#include "lab/lab_fixture.h"
#include "test_support.h"

namespace lwlab {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::string_view kSecondInterface = "lwmon1";
constexpr int kPrometheusPort = 9090;  // on the monitor namespace's own loopback

// Beside lab.sh, whose path the build gives whole: __FILE__ may be relative
// to the build folder (ccache's base folder makes it so), and Prometheus
// reads a relative rules path from its configuration's folder.
std::string RulesPath() {
    return (std::filesystem::path(LabTest::LabScript()).parent_path() /
            "../../data/prometheus/linewatch_rules.yml")
        .lexically_normal()
        .string();
}

// Prometheus' HTTP API inside the monitor namespace; the JSON answer.
std::string Api(const std::string& pathAndQuery) {
    std::string output;
    RunProgram({"ip", "netns", "exec", std::string(kMonitorNamespace), "curl", "-s", "-G",
                "http://127.0.0.1:" + std::to_string(kPrometheusPort) + pathAndQuery},
               &output);
    return output;
}
std::string Query(const std::string& promql) {
    std::string output;
    RunProgram({"ip", "netns", "exec", std::string(kMonitorNamespace), "curl", "-s", "-G",
                "http://127.0.0.1:" + std::to_string(kPrometheusPort) + "/api/v1/query",
                "--data-urlencode", "query=" + promql},
               &output);
    return output;
}
size_t Results(const std::string& json) {
    size_t count = 0;
    for (size_t at = json.find("\"metric\":"); at != std::string::npos;
         at = json.find("\"metric\":", at + 1))
        ++count;
    return count;
}
// A string as JSON writes it (the names here hold no control characters).
std::string JsonString(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return "\"" + out + "\"";
}

class MetricsLabTest : public LabTest {
  protected:
    void SetUp() override {
        LabTest::SetUp();
        if (IsSkipped() || HasFailure()) return;
        if (!ProgramExists("prometheus") || !ProgramExists("curl"))
            GTEST_SKIP()
                << "needs prometheus and curl (Debian prometheus, curl); run scripts/setup";
        // A second adapter of the monitor on the same segment.
        ASSERT_EQ(RunProgram({"ip", "link", "add", std::string(kSecondInterface), "netns",
                              std::string(kMonitorNamespace), "address", "02:4c:57:00:01:02",
                              "type", "veth", "peer", "name", "lwbr-mon1", "netns", "lwbr"}),
                  0);
        ASSERT_EQ(
            RunProgram({"ip", "-n", "lwbr", "link", "set", "lwbr-mon1", "master", "lwbr0", "up"}),
            0);
        ASSERT_EQ(RunProgram({"ip", "-n", std::string(kMonitorNamespace), "link", "set",
                              std::string(kSecondInterface), "up"}),
                  0);
    }
    void TearDown() override {
        RunProgram({"ip", "-n", std::string(kMonitorNamespace), "link", "del",
                    std::string(kSecondInterface)});
        Lab({"responder-stop"});
        Lab({"ac-start", "2"});
    }
};

TEST_F(MetricsLabTest, PrometheusSeesBothAdaptersAndFiresAcDownWhenAnAcStops) {
    TempFolder folder;
    // Quotes, a backslash, a line feed and braces: label syntax in a name.
    const std::string prefix = "Ev\"}\\\nx{a=\"b\"}";
    ASSERT_EQ(Lab({"responder", "1", "--name-prefix", prefix}), 0);
    Child cli({CliPath(), "-i", std::string(kMonitorInterface), "-i", std::string(kSecondInterface),
               "--interval", "1", "--wait", "300", "--down-after", "1", "--metrics", "127.0.0.1:0",
               "--quiet", "--log-dir", folder.Path() + "/logs", "--general-log"},
              folder.Path() + "/cli.out");
    std::smatch match;
    std::string output;
    const std::regex address(R"(Metrics at http://127\.0\.0\.1:(\d+)/metrics)");
    ASSERT_TRUE(WaitUntil(
        [&] {
            output = cli.Output();
            return std::regex_search(output, match, address);
        },
        20s))
        << output;
    const std::string target = "127.0.0.1:" + match[1].str();

    {
        std::ofstream config(folder.Path() + "/prometheus.yml");
        config << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
               << "rule_files:\n  - " << RulesPath() << "\n"
               << "scrape_configs:\n  - job_name: linewatch\n    static_configs:\n"
               << "      - targets: ['" << target << "']\n";
    }
    const auto start = Clock::now();
    Child prometheus({"prometheus", "--config.file=" + folder.Path() + "/prometheus.yml",
                      "--storage.tsdb.path=" + folder.Path() + "/tsdb",
                      "--web.listen-address=127.0.0.1:" + std::to_string(kPrometheusPort)},
                     folder.Path() + "/prometheus.out");

    // Both lab ACs, up, with their RTT, on both adapters: four series each.
    std::string json;
    ASSERT_TRUE(WaitUntil(
        [&] {
            json = Query("linewatch_ac_up{ac_name=~\"LabAC-.*\"} == 1");
            return Results(json) == 4;
        },
        40s))
        << json << prometheus.Output();
    // Labels come back sorted by name.
    for (const char* name : {"LabAC-One", "LabAC-Two"})
        for (const std::string_view interface : {kMonitorInterface, kSecondInterface})
            EXPECT_TRUE(std::regex_search(json, std::regex(std::string("\"ac_name\":\"") + name +
                                                           "\",\"instance\":\"[^\"]*\","
                                                           "\"interface\":\"" +
                                                           std::string(interface) + "\"")))
                << name << " on " << interface << ": " << json;
    json = Query("linewatch_ac_rtt_last_seconds{ac_name=~\"LabAC-.*\"} > 0");
    EXPECT_EQ(Results(json), 4u) << json;
    EXPECT_NE(json.find("\"interface\":\"lwmon1\""), std::string::npos) << json;
    std::printf("[ FIGURE   ] both ACs up in Prometheus %.1f s after it started\n",
                std::chrono::duration<double>(Clock::now() - start).count());

    // The hostile name arrived as the label value the table shows, and the
    // page it came on parsed: the scrape is up.
    const std::string shown = DisplayNetworkText(prefix + "0001");
    json = Query("linewatch_ac_up{ac_mac=\"02:00:00:00:00:01\",interface=\"lwmon0\"}");
    EXPECT_NE(json.find("\"ac_name\":" + JsonString(shown)), std::string::npos)
        << json << "\nexpected " << JsonString(shown);
    EXPECT_EQ(Results(Query("up{job=\"linewatch\"} == 1")), 1u);
    EXPECT_EQ(Results(Query("{__name__=\"fake\"} or {a=\"b\"}")), 0u);

    // AC 2 stops: its series drop to 0 on both adapters and the shipped
    // AC-down rule fires for it.
    const auto stopped = Clock::now();
    ASSERT_EQ(Lab({"ac-stop", "2"}), 0);
    ASSERT_TRUE(WaitUntil(
        [&] {
            json = Query("linewatch_ac_up{ac_name=\"LabAC-Two\"} == 0");
            return Results(json) == 2;
        },
        30s))
        << json;
    EXPECT_EQ(Results(Query("linewatch_ac_up{ac_name=\"LabAC-One\"} == 1")), 2u);
    ASSERT_TRUE(WaitUntil(
        [&] {
            json = Api("/api/v1/alerts");
            return std::regex_search(
                       json,
                       std::regex(R"("ac_name":"LabAC-Two","alertname":"LinewatchAcDown")")) &&
                   json.find("\"state\":\"firing\"") != std::string::npos;
        },
        30s))
        << json << Api("/api/v1/rules") << prometheus.Output();
    EXPECT_EQ(json.find("\"ac_name\":\"LabAC-One\""), std::string::npos) << json;
    std::printf("[ FIGURE   ] AC-down alert firing %.1f s after the AC stopped\n",
                std::chrono::duration<double>(Clock::now() - stopped).count());

    EXPECT_EQ(cli.Stop(), 0) << cli.Output();
    // Each adapter wrote its own general log in its own folder.
    for (const std::string_view interface : {kMonitorInterface, kSecondInterface}) {
        const std::string log =
            ReadFile(folder.Path() + "/logs/" + std::string(interface) + "/monitor.log");
        EXPECT_NE(log.find("Select: " + std::string(interface)), std::string::npos) << log;
        EXPECT_NE(log.find("AC: DOWN:  02:4C:57:00:0A:02 LabAC-Two"), std::string::npos) << log;
    }
}

}  // namespace
}  // namespace lwlab

namespace lwlab {
namespace {

// --stats adds the RTT figures over each AC's history to the table.
TEST_F(MetricsLabTest, StatsColumnsShowTheRttFiguresOfEachAc) {
    TempFolder folder;
    Child cli({CliPath(), "-i", std::string(kMonitorInterface), "--interval", "1", "--wait", "300",
               "--cycles", "3", "--stats"},
              folder.Path() + "/cli.out");
    std::string output;
    ASSERT_TRUE(WaitUntil(
        [&] {
            output = cli.Output();
            size_t tables = 0;
            for (size_t at = output.find("Jitter ms"); at != std::string::npos;
                 at = output.find("Jitter ms", at + 1))
                ++tables;
            return tables == 3;
        },
        20s))
        << output;
    EXPECT_EQ(cli.Stop(), 0);
    EXPECT_TRUE(std::regex_search(
        output, std::regex(R"(St +MAC Address +AC Name .* Pkt loss +Min ms +Mean ms +Max ms )"
                           R"(+Jitter ms +P95 ms)")))
        << output;
    // The last table's row of AC 1: three answers, min <= mean <= max, p95 the largest.
    const size_t last = output.rfind("02:4C:57:00:0A:01  LabAC-One");
    ASSERT_NE(last, std::string::npos) << output;
    std::istringstream row(output.substr(last, output.find('\n', last) - last));
    std::string mac, name, service, rtt, sent, received, lost;
    double min = 0, mean = 0, max = 0, jitter = 0, p95 = 0;
    row >> mac >> name >> service >> rtt >> sent >> received >> lost >> min >> mean >> max >>
        jitter >> p95;
    ASSERT_FALSE(row.fail()) << output;
    EXPECT_EQ(received, "3");
    EXPECT_GT(min, 0.0);
    EXPECT_LE(min, mean);
    EXPECT_LE(mean, max);
    EXPECT_EQ(p95, max);
    EXPECT_LE(jitter, max - min);
}

}  // namespace
}  // namespace lwlab
