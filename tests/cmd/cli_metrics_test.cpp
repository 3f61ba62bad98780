#include "cmd/cli_metrics.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <locale>
#include <string>

#include "comma_locale.h"
#include "core/unique_fd.h"
#include "engine/network_text.h"
#include "test_support.h"

namespace {

UniqueFd Connect(int port) {
    UniqueFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return UniqueFd();
    return socket;
}

// GET /metrics over loopback; the whole answer, headers included.
std::string Get(int port) {
    UniqueFd socket = Connect(port);
    const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (!socket || write(socket.Get(), request.data(), request.size()) < 0) return {};
    std::string answer;
    char chunk[65536];
    ssize_t n;
    while ((n = read(socket.Get(), chunk, sizeof chunk)) > 0)
        answer.append(chunk, static_cast<size_t>(n));
    return answer;
}

std::string Body(const std::string& answer) {
    const size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

// promtool's verdict on an exposition page: exit status, and what it said.
int PromtoolCheckMetrics(const std::string& page, std::string& said) {
    TempFolder folder;
    const std::string file = folder.Path() + "/page.txt";
    std::FILE* out = std::fopen(file.c_str(), "w");
    if (out == nullptr) return -1;
    std::fwrite(page.data(), 1, page.size(), out);
    std::fclose(out);
    const std::string command =
        "promtool check metrics < '" + file + "' > '" + folder.Path() + "/said' 2>&1";
    const int status = std::system(command.c_str());
    said = ReadFile(folder.Path() + "/said");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

AdapterFiguresList HostileFigures(const std::string& rawName) {
    auto adapter = std::make_shared<AdapterFigures>();
    adapter->interface = "lwm0";
    adapter->monitoring = true;
    adapter->linkState = 2;
    adapter->counts.probesSent = 7;
    adapter->counts.acNew = 2;
    adapter->counts.acDown = 1;
    AcFigures ac;
    ac.mac = "02:4C:57:00:0A:09";
    ac.acName = DisplayNetworkText(rawName);
    ac.service = DisplayNetworkText("video\"}");
    ac.up = false;
    ac.lastRttMs = 1.5;
    ac.sent = 7;
    ac.answered = 5;
    ac.lost = 2;
    ac.downEvents = 1;
    for (double ms : {0.4, 1.5, 1.5, 30.0, 2000.0}) ac.rttHistogram.Observe(ms);
    adapter->acs.push_back(ac);
    AcFigures plain = ac;
    plain.mac = "02:4C:57:00:0A:0A";
    plain.acName = "Plain";
    plain.up = true;
    adapter->acs.push_back(plain);
    return {adapter};
}

}  // namespace

TEST(MetricsAddress, TakesAddressAndPortOnly) {
    EXPECT_EQ(ParseMetricsAddress("127.0.0.1:9813"), "127.0.0.1:9813");
    EXPECT_EQ(ParseMetricsAddress("[::1]:9813"), "[::1]:9813");
    EXPECT_EQ(ParseMetricsAddress("0.0.0.0:0"), "0.0.0.0:0");
    // A port alone stays on the loopback address.
    EXPECT_EQ(ParseMetricsAddress("9813"), "127.0.0.1:9813");
    EXPECT_EQ(ParseMetricsAddress("0"), "127.0.0.1:0");
    for (const char* bad : {"", "98x", "65536", "-1", ":9813", "localhost:9813", "127.0.0.1:",
                            "127.0.0.1:65536", "127.0.0.1:-1", "::1:9813", "[::1]", "127.0.0.1:98x",
                            "[zz]:1", "127.0.0.1:9813,0.0.0.0:80", "127.0.0.1:80s"})
        EXPECT_EQ(ParseMetricsAddress(bad), std::nullopt) << bad;
}

// Names from the network are label values, escaped as the exposition format
// says; the page parses for Prometheus' own checker; the figures come out as
// published, the histogram cumulative and in seconds.
TEST(MetricsExporter, ServesHostileNamesOnlyEscapedOnAPagePrometheusAccepts) {
    std::string error;
    auto exporter = MetricsExporter::Start("127.0.0.1:0", error);
    ASSERT_NE(exporter, nullptr) << error;
    ASSERT_GT(exporter->Port(), 0);
    EXPECT_NE(Body(Get(exporter->Port())).find("# TYPE linewatch_ac_up gauge"), std::string::npos);

    const std::string raw = "Evil\"} 1\nfake_metric 666\\\x1b[2J";
    exporter->Publish(HostileFigures(raw));
    const std::string answer = Get(exporter->Port());
    ASSERT_NE(answer.find("200 OK"), std::string::npos) << answer;
    const std::string page = Body(answer);
    // Display form: Evil"} 1\x0afake_metric 666\\\x1b[2J; then the
    // exposition escapes its quote and backslashes.
    const std::string label = R"(ac_name="Evil\"} 1\\x0afake_metric 666\\\\\\x1b[2J")";
    EXPECT_NE(page.find("linewatch_ac_up{interface=\"lwm0\",ac_mac=\"02:4C:57:00:0A:09\"," + label +
                        ",service=\"video\\\"}\"} 0"),
              std::string::npos)
        << page;
    EXPECT_EQ(page.find("\nfake_metric"), std::string::npos);
    EXPECT_EQ(page.find('\x1b'), std::string::npos);
    EXPECT_NE(page.find("linewatch_adapter_probes_sent_total{interface=\"lwm0\"} 7"),
              std::string::npos);
    EXPECT_NE(page.find("linewatch_adapter_events_total{interface=\"lwm0\",kind=\"ac_down\"} 1"),
              std::string::npos);
    EXPECT_NE(page.find("linewatch_adapter_cable_state{interface=\"lwm0\"} 2"), std::string::npos);
    EXPECT_NE(page.find(",service=\"video\\\"}\",le=\"0.001\"} 1"), std::string::npos) << page;
    EXPECT_NE(page.find(",service=\"video\\\"}\",le=\"0.0025\"} 3"), std::string::npos);
    EXPECT_NE(page.find(",service=\"video\\\"}\",le=\"+Inf\"} 5"), std::string::npos);
    EXPECT_NE(page.find("linewatch_ac_rtt_last_seconds{interface=\"lwm0\",ac_mac=\"02:4C:57:00:0A:"
                        "0A\",ac_name=\"Plain\",service=\"video\\\"}\"} 0.0015"),
              std::string::npos);

    if (system("command -v promtool >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "promtool (Debian prometheus) is missing; run scripts/setup";
    std::string said;
    EXPECT_EQ(PromtoolCheckMetrics(page, said), 0) << said << page;
    // The checker is not lenient: a raw line feed in a label breaks the page.
    std::string broken = page;
    broken.replace(broken.find("\\x0a"), 4, "\n");
    EXPECT_NE(PromtoolCheckMetrics(broken, said), 0);
}

// Figures keep their '.' under a comma locale, in the C library and in the
// C++ streams alike (a program may set either).
TEST(MetricsExporter, NumbersUseADotWhateverTheLocaleSays) {
    const CommaLocaleScope comma;
    if (!CommaLocale::Get().ok()) GTEST_SKIP() << CommaLocale::Get().error();
    ASSERT_TRUE(comma.ok());
    const std::locale previous = std::locale::global(std::locale(CommaLocale::kName));
    std::string error;
    auto exporter = MetricsExporter::Start("127.0.0.1:0", error);
    ASSERT_NE(exporter, nullptr) << error;
    exporter->Publish(HostileFigures("Plain"));
    const std::string page = Body(Get(exporter->Port()));
    std::locale::global(previous);
    EXPECT_NE(page.find("\"} 0.0015\n"), std::string::npos) << page;
    EXPECT_NE(page.find("le=\"0.0025\"} 3\n"), std::string::npos) << page;
    EXPECT_EQ(page.find("0,0"), std::string::npos) << page;
}

// A client that connects and sends nothing holds one server thread until the
// read timeout; publishing and other requests go on meanwhile.
TEST(MetricsExporter, AStuckClientHoldsNeitherPublishingNorOtherRequests) {
    std::string error;
    auto exporter = MetricsExporter::Start("127.0.0.1:0", error);
    ASSERT_NE(exporter, nullptr) << error;
    UniqueFd stuck = Connect(exporter->Port());
    ASSERT_TRUE(stuck);
    ASSERT_GT(write(stuck.Get(), "GET /met", 8), 0);
    exporter->Publish(HostileFigures("After"));
    EXPECT_NE(Body(Get(exporter->Port())).find("ac_name=\"After\""), std::string::npos);
}

TEST(MetricsExporter, AnAddressInUseIsRefusedWithAReason) {
    std::string error;
    auto first = MetricsExporter::Start("127.0.0.1:0", error);
    ASSERT_NE(first, nullptr) << error;
    auto second = MetricsExporter::Start("127.0.0.1:" + std::to_string(first->Port()), error);
    EXPECT_EQ(second, nullptr);
    EXPECT_FALSE(error.empty());
}
