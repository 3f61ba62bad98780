#include "engine/adapter_probe.h"

AdapterProbe::AdapterProbe(MonitorView& view, const MonitorSettings& settings,
                           std::string programFolder, std::string sysfsNetRoot)
    : media_(std::move(sysfsNetRoot)),
      monitor_(engine_, media_, view, settings, std::move(programFolder)) {}
