#pragma once

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cmd/probe_figures.h"

namespace prometheus {
class Exposer;
}

using AdapterFiguresList = std::vector<std::shared_ptr<const AdapterFigures>>;

// The metric families of the Prometheus text exposition for the adapters'
// figures. Network names are label values only (the serializer escapes
// backslash, quote and line feed in them); metric and label names are fixed.
std::vector<prometheus::MetricFamily> BuildMetricFamilies(const AdapterFiguresList& adapters);

// "ADDRESS:PORT" of --metrics: an IPv4 address or a bracketed IPv6 one, and
// a port from 0 (any free one) to 65535; a port alone is served on
// 127.0.0.1. Gives the text to listen on, or nothing.
std::optional<std::string> ParseMetricsAddress(std::string_view text);

// Serves /metrics over HTTP on threads of its own. The owner thread publishes
// each new set of figures; a request reads the latest one under a lock held
// only to copy a pointer, so no request ever waits for probing, nor probing
// for a request.
class MetricsExporter {
  public:
    // Listens on `address` (from ParseMetricsAddress). Null, with the reason
    // in `error`, when the address cannot be bound.
    static std::unique_ptr<MetricsExporter> Start(const std::string& address, std::string& error);
    ~MetricsExporter();
    MetricsExporter(const MetricsExporter&) = delete;
    MetricsExporter& operator=(const MetricsExporter&) = delete;

    void Publish(AdapterFiguresList adapters);
    // The port actually bound.
    int Port() const;

  private:
    class Collector : public prometheus::Collectable {
      public:
        std::vector<prometheus::MetricFamily> Collect() const override;
        void Publish(AdapterFiguresList adapters);

      private:
        mutable std::mutex lock_;
        std::shared_ptr<const AdapterFiguresList> latest_ =
            std::make_shared<const AdapterFiguresList>();
    };

    MetricsExporter() = default;

    std::shared_ptr<Collector> collector_ = std::make_shared<Collector>();
    std::unique_ptr<prometheus::Exposer> exposer_;
};
