#include "cmd/probe_figures.h"

#include "engine/network_text.h"

AdapterFigures TakeAdapterFigures(const AdapterProbe& probe) {
    const Monitor& monitor = probe.GetMonitor();
    AdapterFigures figures;
    figures.interface = monitor.Settings().deviceName;
    figures.monitoring = monitor.IsMonitoring();
    figures.linkState = probe.LinkState();
    figures.counts = monitor.Counts();
    figures.acs.reserve(monitor.Rows().size());
    for (const auto& record : monitor.Rows()) {
        AcFigures ac;
        ac.mac = FormatMacText(record->mac);
        ac.acName = DisplayNetworkText(record->acName);
        ac.service = DisplayNetworkText(record->serviceName);
        ac.up = !record->down;
        ac.lastRttMs = record->lastRtt;
        ac.sent = static_cast<uint64_t>(std::max(record->sent, 0));
        ac.answered = static_cast<uint64_t>(std::max(record->received, 0));
        ac.lost = static_cast<uint64_t>(std::max(record->lost, 0));
        ac.upEvents = record->upEvents;
        ac.downEvents = record->downEvents;
        ac.rttHistogram = record->rttHistogram;
        figures.acs.push_back(std::move(ac));
    }
    return figures;
}
