#include "cmd/cli_metrics.h"

#include <arpa/inet.h>
#include <prometheus/exposer.h>

#include <charconv>
#include <cmath>
#include <exception>
#include <functional>
#include <utility>

#include "engine/net_watch_media.h"

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// Each connection holds one of the HTTP server's worker threads until it is
// served. A request must arrive whole within the timeout (a client that
// sends a byte a second is cut off), and a write that makes no progress for
// as long ends the connection, so a slow or stuck client holds a worker for
// about two seconds; with this many workers a handful of them at once still
// leaves threads free for a scrape. A scrape's request is one small packet.
constexpr const char* kRequestTimeoutMs = "2000";
constexpr const char* kExposerThreads = "16";
// The address served when only a port is given: the endpoint belongs on a
// management address, never on a segment that strangers share.
constexpr std::string_view kDefaultMetricsHost = "127.0.0.1";

MetricFamily Family(const char* name, const char* help, MetricType type) {
    MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = type;
    return family;
}

ClientMetric Metric(std::vector<ClientMetric::Label> labels) {
    ClientMetric metric;
    metric.label = std::move(labels);
    return metric;
}

void AddGauge(MetricFamily& family, std::vector<ClientMetric::Label> labels, double value) {
    ClientMetric metric = Metric(std::move(labels));
    metric.gauge.value = value;
    family.metric.push_back(std::move(metric));
}

void AddCounter(MetricFamily& family, std::vector<ClientMetric::Label> labels, double value) {
    ClientMetric metric = Metric(std::move(labels));
    metric.counter.value = value;
    family.metric.push_back(std::move(metric));
}

std::vector<ClientMetric::Label> With(std::vector<ClientMetric::Label> labels, const char* name,
                                      std::string value) {
    labels.push_back({name, std::move(value)});
    return labels;
}

// The cable as the watcher last read it: 0 unknown (the adapter cannot be
// asked, e.g. administratively down), 1 unplugged, 2 connected.
double CableValue(int32_t linkState) {
    switch (linkState) {
        case kLinkStateDisconnected:
            return 1;
        case kLinkStateConnected:
            return 2;
        default:
            return 0;
    }
}

}  // namespace

std::vector<MetricFamily> BuildMetricFamilies(const AdapterFiguresList& adapters) {
    MetricFamily monitoring =
        Family("linewatch_adapter_monitoring", "1 while the adapter is captured and probed",
               MetricType::Gauge);
    MetricFamily cable =
        Family("linewatch_adapter_cable_state",
               "Cable of the adapter: 0 unknown, 1 unplugged, 2 connected", MetricType::Gauge);
    MetricFamily probes = Family("linewatch_adapter_probes_sent_total",
                                 "Probe PADIs sent on the adapter", MetricType::Counter);
    MetricFamily probeFailures =
        Family("linewatch_adapter_probe_send_failures_total",
               "Probe PADIs that could not be sent on the adapter", MetricType::Counter);
    MetricFamily captureErrors =
        Family("linewatch_adapter_capture_errors_total",
               "Times reading the adapter's capture failed", MetricType::Counter);
    MetricFamily events = Family("linewatch_adapter_events_total", "Events on the adapter by kind",
                                 MetricType::Counter);
    MetricFamily acCount = Family("linewatch_adapter_acs",
                                  "Access concentrators in the adapter's table", MetricType::Gauge);
    MetricFamily unlisted =
        Family("linewatch_adapter_offers_unlisted_total",
               "Offers from new access concentrators left out because the table was full",
               MetricType::Counter);
    MetricFamily acUp =
        Family("linewatch_ac_up", "1 while the access concentrator answers, 0 once it is down",
               MetricType::Gauge);
    MetricFamily lastRtt = Family("linewatch_ac_rtt_last_seconds",
                                  "Round-trip time of the latest answer", MetricType::Gauge);
    MetricFamily sent =
        Family("linewatch_ac_probes_sent_total",
               "Probes sent since the access concentrator was listed", MetricType::Counter);
    MetricFamily answered = Family("linewatch_ac_probes_answered_total",
                                   "Probes the access concentrator answered", MetricType::Counter);
    MetricFamily lost =
        Family("linewatch_ac_probes_lost_total", "Probes the access concentrator left unanswered",
               MetricType::Counter);
    MetricFamily acEvents =
        Family("linewatch_ac_events_total", "Events of the access concentrator by kind",
               MetricType::Counter);
    MetricFamily rtt = Family("linewatch_ac_rtt_seconds", "Round-trip times of every answer",
                              MetricType::Histogram);

    size_t acs = 0;
    for (const auto& adapter : adapters) acs += adapter->acs.size();
    for (MetricFamily* family : {&acUp, &lastRtt, &sent, &answered, &lost, &rtt})
        family->metric.reserve(acs);
    acEvents.metric.reserve(acs * 3);

    for (const auto& adapter : adapters) {
        const std::vector<ClientMetric::Label> base = {{"interface", adapter->interface}};
        const MonitorCounts& counts = adapter->counts;
        AddGauge(monitoring, base, adapter->monitoring ? 1 : 0);
        AddGauge(cable, base, CableValue(adapter->linkState));
        AddCounter(probes, base, static_cast<double>(counts.probesSent));
        AddCounter(probeFailures, base, static_cast<double>(counts.probesFailed));
        AddCounter(captureErrors, base, static_cast<double>(counts.captureErrors));
        const std::pair<const char*, uint64_t> kinds[] = {
            {"ac_new", counts.acNew},
            {"ac_up", counts.acUp},
            {"ac_down", counts.acDown},
            {"cable_unplugged", counts.cableUnplugged},
            {"cable_connected", counts.cableConnected},
            {"capture_error", counts.captureErrors},
            {"probe_send_failed", counts.probesFailed}};
        for (const auto& [kind, count] : kinds)
            AddCounter(events, With(base, "kind", kind), static_cast<double>(count));
        AddGauge(acCount, base, static_cast<double>(adapter->acs.size()));
        AddCounter(unlisted, base, static_cast<double>(counts.offersUnlisted));

        for (const AcFigures& ac : adapter->acs) {
            const std::vector<ClientMetric::Label> labels = {{"interface", adapter->interface},
                                                             {"ac_mac", ac.mac},
                                                             {"ac_name", ac.acName},
                                                             {"service", ac.service}};
            AddGauge(acUp, labels, ac.up ? 1 : 0);
            AddGauge(lastRtt, labels, ac.lastRttMs / 1000.0);
            AddCounter(sent, labels, static_cast<double>(ac.sent));
            AddCounter(answered, labels, static_cast<double>(ac.answered));
            AddCounter(lost, labels, static_cast<double>(ac.lost));
            AddCounter(acEvents, With(labels, "kind", "ac_new"), 1);
            AddCounter(acEvents, With(labels, "kind", "ac_up"), static_cast<double>(ac.upEvents));
            AddCounter(acEvents, With(labels, "kind", "ac_down"),
                       static_cast<double>(ac.downEvents));

            ClientMetric histogram = Metric(labels);
            const RttHistogram& source = ac.rttHistogram;
            histogram.histogram.sample_count = source.Count();
            histogram.histogram.sample_sum = source.SumMs() / 1000.0;
            for (size_t i = 0; i < RttHistogram::kBoundsMs.size(); ++i)
                histogram.histogram.bucket.push_back(
                    {source.CumulativeCount(i), RttHistogram::kBoundsMs[i] / 1000.0});
            histogram.histogram.bucket.push_back({source.Count(), INFINITY});
            rtt.metric.push_back(std::move(histogram));
        }
    }
    std::vector<MetricFamily> families;
    for (MetricFamily* family :
         {&monitoring, &cable, &probes, &probeFailures, &captureErrors, &events, &acCount,
          &unlisted, &acUp, &lastRtt, &sent, &answered, &lost, &acEvents, &rtt})
        families.push_back(std::move(*family));
    return families;
}

std::optional<std::string> ParseMetricsAddress(std::string_view text) {
    const size_t colon = text.rfind(':');
    const std::string_view host =
        colon == std::string_view::npos ? kDefaultMetricsHost : text.substr(0, colon);
    const std::string_view portText =
        colon == std::string_view::npos ? text : text.substr(colon + 1);
    int port = 0;
    const auto [end, error] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (portText.empty() || error != std::errc() || end != portText.data() + portText.size() ||
        port < 0 || port > 65535)
        return std::nullopt;
    unsigned char address[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        const std::string inner(host.substr(1, host.size() - 2));
        if (inet_pton(AF_INET6, inner.c_str(), address) != 1) return std::nullopt;
        return "[" + inner + "]:" + std::to_string(port);
    }
    const std::string ipv4(host);
    if (inet_pton(AF_INET, ipv4.c_str(), address) != 1) return std::nullopt;
    return ipv4 + ":" + std::to_string(port);
}

std::unique_ptr<MetricsExporter> MetricsExporter::Start(const std::string& address,
                                                        std::string& error) {
    std::unique_ptr<MetricsExporter> exporter(new MetricsExporter());
    try {
        exporter->exposer_ = std::make_unique<prometheus::Exposer>(
            std::vector<std::string>{"listening_ports", address, "num_threads", kExposerThreads,
                                     "request_timeout_ms", kRequestTimeoutMs});
        exporter->exposer_->RegisterCollectable(exporter->collector_);
    } catch (const std::exception& failure) {
        // The HTTP server reports a port it cannot bind by throwing.
        error = failure.what();
        return nullptr;
    }
    return exporter;
}

MetricsExporter::~MetricsExporter() {
    // The server's threads stop before the figures they read go away.
    exposer_.reset();
}

void MetricsExporter::Publish(AdapterFiguresList adapters) {
    collector_->Publish(std::move(adapters));
}

int MetricsExporter::Port() const {
    const std::vector<int> ports = exposer_->GetListeningPorts();
    return ports.empty() ? 0 : ports.front();
}

std::vector<MetricFamily> MetricsExporter::Collector::Collect() const {
    std::shared_ptr<const AdapterFiguresList> latest;
    {
        std::scoped_lock lock(lock_);
        latest = latest_;
    }
    return BuildMetricFamilies(*latest);
}

void MetricsExporter::Collector::Publish(AdapterFiguresList adapters) {
    auto published = std::make_shared<const AdapterFiguresList>(std::move(adapters));
    {
        std::scoped_lock lock(lock_);
        latest_.swap(published);
    }
    // The figures replaced are freed here, outside the lock.
}
