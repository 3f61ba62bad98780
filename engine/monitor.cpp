#include "engine/monitor.h"

#include <algorithm>

#include "engine/linewatch.h"
#include "engine/net_watch_media.h"
#include "engine/network_text.h"
#include "text/text_ids.h"

namespace {

constexpr std::string_view kBannerText = "Line Watchman v" LW_FILE_VERSION " started";

}  // namespace

std::string AcTableFullText() {
    return "The table of access concentrators is full (" + std::to_string(kMaxAcRows) +
           " rows); offers from new ones are counted, not listed";
}

Monitor::Monitor(KtLinewatch& engine, KtNetWatchMedia& media, MonitorView& view,
                 const MonitorSettings& settings, std::string programFolder)
    : engine_(engine),
      media_(media),
      view_(view),
      programFolder_(std::move(programFolder)),
      port_([this](uint32_t msg, uintptr_t wParam, intptr_t lParam) {
          HandleMessage(msg, wParam, lParam);
      }),
      logWriter_(this) {
    TakeSettings(settings);
    engine_.Connect(*this, &logWriter_);
    media_.Connect(*this);
}

Monitor::~Monitor() {
    Close();
    engine_.Disconnect();
    media_.Disconnect();
    port_.Close();
}

// The engine's reports are sent: the engine thread waits until the owner has
// handled them.
void Monitor::ProbeSent(uint32_t probe) {
    port_.Send(WM_LW_PADI_SENT, probe);
}

void Monitor::ProbeSendFailed(uint32_t probe) {
    port_.Send(WM_LW_PROBE_SEND_FAILED, probe);
}

void Monitor::PadoWaitExpired(uint32_t probe) {
    port_.Send(WM_LW_PADO_TIMEOUT, probe);
}

// Offers are posted, not sent: a receive thread that waited for the owner
// after each offer would read the next ones only as fast as the window draws
// rows, and offers that came in time would be read after the wait ran out and
// dropped. The engine keeps the replies until the owner takes them; one
// pending message serves all that arrive before it is handled.
void Monitor::PadoReceived(uint32_t /*probe*/) {
    if (!offersPosted_.exchange(true)) port_.Post(WM_LW_PADO_RECEIVED);
}

void Monitor::CaptureError(uint32_t reason) {
    port_.Send(WM_LW_CAPTURE_ERROR, reason);
}

// Workers are stopped through the port so that one blocked in a Send to this
// thread is served while we wait for it.
void Monitor::StopWorker(KtThread& worker) {
    port_.StopAndWait(worker);
}

// Posted: the link watcher never waits for the owner.
void Monitor::CableChanged(int state) {
    port_.Post(WM_LW_CABLE, static_cast<uintptr_t>(state));
}

void Monitor::AdapterReturned() {
    port_.Post(WM_LW_ADAPTER_BACK);
}

void Monitor::StopWatcher(KtThread& watcher) {
    port_.StopAndWait(watcher);
}

void Monitor::BoxLinesQueued() {
    if (port_.IsOwnerThread())
        DrainLogBox();
    else
        port_.Post(WM_LW_LOG_LINES);
}

bool Monitor::Open(std::vector<AdapterEntry> adapters) {
    if (settings_.generalLog) OpenGeneralLog("Error: OnCreate::fopen_s()\n");
    logWriter_.WriteLine({kBannerText});
    if (!BuildAdapterList(std::move(adapters))) return false;
    HandSourceMacToEngine();
    return StartMonitoring();
}

void Monitor::Close() {
    if (closed_) return;
    StopMonitoring();
    engine_.CloseCapture();
    tableFull_ = false;  // no line about room in a table that goes away
    ClearTable();
    adapters_.clear();
    currentAdapter_ = -1;
    closed_ = true;
    // Lines written by the engine threads before they stopped still reach
    // the box before the general log closes.
    DrainLogBox();
    logWriter_.CloseGeneralLog();
    generalLogActive_ = false;
}

bool Monitor::BuildAdapterList(std::vector<AdapterEntry> adapters) {
    adapters_ = std::move(adapters);
    currentAdapter_ = -1;
    if (adapters_.empty()) {
        view_.ShowAdapters(adapters_, -1, false);
        return false;
    }
    for (size_t i = 0; i < adapters_.size(); ++i) {
        if (adapters_[i].deviceName == settings_.deviceName) {
            currentAdapter_ = static_cast<int>(i);
            break;
        }
    }
    if (currentAdapter_ < 0) {
        currentAdapter_ = 0;
        settings_.deviceName = adapters_[0].deviceName;
        if (adapterChoiceStore_ != nullptr)
            adapterChoiceStore_->KeepAdapterChoice(settings_.deviceName);
    }
    view_.ShowAdapters(adapters_, currentAdapter_, adapters_.size() > 1);
    WriteSelectLine();
    return true;
}

void Monitor::SelectAdapter(size_t index) {
    if (index >= adapters_.size()) return;
    StopMonitoring();
    ClearTable();
    currentAdapter_ = static_cast<int>(index);
    settings_.deviceName = adapters_[index].deviceName;
    if (adapterChoiceStore_ != nullptr)
        adapterChoiceStore_->KeepAdapterChoice(settings_.deviceName);
    RefreshAdapterMac();
    HandSourceMacToEngine();
    WriteSelectLine();
    view_.SetSelectedAcLabel({});
    StartMonitoring();
}

bool Monitor::StartMonitoring() {
    lastStartLackedPermission_ = false;
    newAcSoundArmed_ = false;
    if (currentAdapter_ < 0 || closed_) return false;
    const AdapterEntry& adapter = adapters_[static_cast<size_t>(currentAdapter_)];
    if (!engine_.OpenCapture(adapter.deviceName, settings_.promiscuous)) {
        lastStartLackedPermission_ = engine_.LastCapturePermissionDenied();
        logWriter_.WriteLine({"ERROR: ", kAdapterErrorText});
        return false;
    }
    // Replies of an earlier run belong to no probe of this one; a message
    // about them that was dropped must not keep the next ones from posting.
    offersPosted_ = false;
    engine_.TakeReplies();
    cycles_.Restart();
    media_.SetDeviceName(adapter.deviceName);
    media_.Start();
    running_ = true;
    engine_.Start();
    return true;
}

void Monitor::StopMonitoring() {
    if (!running_) return;
    running_ = false;
    media_.Stop();
    engine_.Stop();
}

void Monitor::Rediscover() {
    StopWaitingSound();
    engine_.TriggerProbe();
}

void Monitor::StopWaitingSound() {
    // Whatever the sound options say now: a sound that began to loop before
    // they were switched off must still be stoppable.
    view_.StopSound();
}

void Monitor::RemoveSelected() {
    if (selected_ < 0 || static_cast<size_t>(selected_) >= rows_.size()) return;
    const size_t row = static_cast<size_t>(selected_);
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(row));
    view_.RowRemoved(row);
    // The removed row was the selected one: nothing is selected now, and the
    // graphs must stop drawing its history.
    selected_ = -1;
    view_.RowSelected(-1);
    HandleSelection(-1);
    NoteTableRoom();
}

void Monitor::ClearTable() {
    rows_.clear();
    selected_ = -1;
    view_.RowsCleared();
    view_.SetSelectedAcLabel({});
    view_.RefreshGraphs();
    trayUp_ = false;
    view_.SetTrayState(false);
    NoteTableRoom();
}

void Monitor::OnSelectionChanged(int row) {
    if (row >= static_cast<int>(rows_.size())) row = -1;
    selected_ = row;
    HandleSelection(row);
}

void Monitor::RefreshStatusText() {
    switch (engine_.GetStatus()) {
        case 0:
            view_.SetStatusText(TextId::kStatusUnknown, "Monitor state is unknown");
            break;
        case kLinewatchProbing:
            view_.SetStatusText(TextId::kStatusMonitoring, "Monitoring");
            break;
        default:
            view_.SetStatusText(TextId::kStatusInactive, "Inactive");
            break;
    }
}

void Monitor::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t /*lParam*/) {
    if (msg == WM_LW_LOG_LINES) {
        DrainLogBox();
        return;
    }
    if (closed_) return;
    switch (msg) {
        case WM_LW_PADI_SENT:
            HandlePadiSent(static_cast<uint32_t>(wParam));
            break;
        case WM_LW_PROBE_SEND_FAILED:
            HandleSendFailed(static_cast<uint32_t>(wParam));
            break;
        case WM_LW_PADO_RECEIVED:
            HandlePadoReceived();
            break;
        case WM_LW_PADO_TIMEOUT:
            HandlePadoTimeout(static_cast<uint32_t>(wParam));
            break;
        case WM_LW_CAPTURE_ERROR:
            HandleCaptureError(wParam);
            break;
        case WM_LW_CABLE:
            HandleCable(wParam);
            break;
        case WM_LW_ADAPTER_BACK:
            HandleAdapterBack();
            break;
        default:
            break;
    }
}

void Monitor::HandlePadiSent(uint32_t probe) {
    if (sendsFailing_) {
        sendsFailing_ = false;
        logWriter_.WriteLine({"INFO: ", kProbesSentAgainText});
    }
    ++counts_.probesSent;
    CountProbe(probe);
}

void Monitor::HandleSendFailed(uint32_t probe) {
    // Counted like a probe nobody answers: its wait ends at once, with the
    // rows' "N/A", loss and, at the threshold, DOWN.
    if (!sendsFailing_) {
        sendsFailing_ = true;
        logWriter_.WriteLine({"ERROR: ", kProbesNotSentText});
    }
    ++counts_.probesFailed;
    CountProbe(probe);
}

void Monitor::CountProbe(uint32_t probe) {
    for (size_t row = 0; row < rows_.size(); ++row) {
        KtAcRecord& record = *rows_[row];
        ++record.sent;
        view_.RowChanged(row, record);
    }
    for (const KtPadoReply& reply : cycles_.Reported(probe)) CountReply(reply);
}

void Monitor::HandlePadoReceived() {
    // Cleared before the replies are taken: a reply stored after this posts
    // a message of its own.
    offersPosted_ = false;
    for (KtPadoReply& reply : engine_.TakeReplies()) {
        if (cycles_.Admit(reply)) CountReply(reply);
    }
}

void Monitor::CountReply(const KtPadoReply& reply) {
    const std::string_view name = CutNetworkText(reply.acName, kMaxAcNameLength);
    auto found = std::find_if(rows_.begin(), rows_.end(), [&](const auto& record) {
        return record->SameAc(reply.acMac, name);
    });
    if (found == rows_.end()) {
        if (rows_.size() >= kMaxAcRows)
            LeaveOutOffer();
        else
            AddAc(reply);
        return;
    }
    const size_t row = static_cast<size_t>(found - rows_.begin());
    KtAcRecord& record = **found;
    // A second offer to the same probe (another service of the same AC)
    // counts once.
    if (!ProbeCycles::FirstAnswer(record, reply)) return;
    if (record.down) RaiseAcUp(row);
    record.answered = true;
    record.down = false;
    record.lastRtt = reply.rtt;
    record.lastAnsweredProbe = reply.probe;
    ++record.received;
    record.lost = cycles_.Lost(record);
    record.unanswered = 0;
    view_.RowChanged(row, record);
    record.PushSample(reply.rtt);
    view_.RefreshGraphs();
    if (acLogActive_ && record.logFile)
        record.logFile->WriteReplyLine(reply.frameLength, reply.rtt);
    if (!FollowsSelectedRow() || static_cast<int>(row) == selected_) trayUp_ = true;
    if (trayUp_) view_.SetTrayState(true);
}

void Monitor::AddAc(const KtPadoReply& reply) {
    auto record = std::make_unique<KtAcRecord>();
    record->mac = reply.acMac;
    record->acName = std::string(CutNetworkText(reply.acName, kMaxAcNameLength));
    // Replies built without the whole name (tests, older readers) aim at the cut one.
    record->targetAcName =
        reply.fullAcName.empty()
            ? record->acName
            : std::string(std::string_view(reply.fullAcName).substr(0, kMaxTargetAcNameLength));
    record->serviceName = std::string(CutNetworkText(reply.serviceName, kMaxServiceNameLength));
    record->lastRtt = reply.rtt;
    record->lastAnsweredProbe = reply.probe;
    record->sent = cycles_.SentSince(reply.probe);
    if (acLogActive_) OpenAcLogFile(*record, "Error: AcLogFile::fopen_s()\n");
    rows_.push_back(std::move(record));
    const size_t row = rows_.size() - 1;
    KtAcRecord& added = *rows_[row];
    view_.RowAdded(row, added);

    // AC NEW
    ++counts_.acNew;
    const std::string mac = FormatMacText(added.mac);
    const std::string name = DisplayNetworkText(added.acName);
    logWriter_.WriteLine({"AC: NEW:  ", mac, " ", name});
    ShowBalloon("AC NEW:", BalloonIcon::kWarning, mac + " " + name);
    if (!settings_.trayShowAcState || rows_.size() == 1) {
        if (selected_ != 0) SelectRowFromMonitor(0);
        trayUp_ = true;
        view_.SetTrayState(true);
    }
    if (acLogActive_ && added.logFile) added.logFile->WriteReplyLine(reply.frameLength, reply.rtt);
    if (settings_.soundEventsEnabled && newAcSoundArmed_) PlayEventSound(settings_.newAcSoundFile);

    added.PushSample(reply.rtt);
    view_.RefreshGraphs();
}

void Monitor::LeaveOutOffer() {
    ++counts_.offersUnlisted;
    if (tableFull_) return;
    tableFull_ = true;
    logWriter_.WriteLine({"ERROR: ", AcTableFullText()});
}

void Monitor::NoteTableRoom() {
    if (!tableFull_ || rows_.size() >= kMaxAcRows) return;
    tableFull_ = false;
    logWriter_.WriteLine({"INFO: ", kAcTableRoomText});
}

void Monitor::RaiseAcUp(size_t row) {
    KtAcRecord& record = *rows_[row];
    ++counts_.acUp;
    ++record.upEvents;
    const std::string mac = FormatMacText(record.mac);
    const std::string name = DisplayNetworkText(record.acName);
    logWriter_.WriteLine({"AC: UP:  ", mac, " ", name});
    ShowBalloon("AC UP:", BalloonIcon::kInformation, mac + " " + name);
}

void Monitor::RaiseAcDown(size_t row) {
    KtAcRecord& record = *rows_[row];
    ++counts_.acDown;
    ++record.downEvents;
    const std::string mac = FormatMacText(record.mac);
    const std::string name = DisplayNetworkText(record.acName);
    logWriter_.WriteLine({"AC: DOWN:  ", mac, " ", name});
    ShowBalloon("AC DOWN:", BalloonIcon::kWarning, mac + " " + name);
}

void Monitor::HandlePadoTimeout(uint32_t probe) {
    // Answers the engine took before the wait ended count first.
    HandlePadoReceived();
    cycles_.Expired(probe);
    for (size_t row = 0; row < rows_.size(); ++row) {
        KtAcRecord& record = *rows_[row];
        const bool missed = ProbeCycles::Missed(record, probe);
        if (missed) ++record.unanswered;
        record.lost = cycles_.Lost(record);
        if (missed) {
            record.answered = false;
            record.PushSample(-1.0);
            view_.RefreshGraphs();
            if (acLogActive_ && record.logFile)
                record.logFile->WriteTimeoutLine(settings_.padoWaitMs);
        }
        if (record.unanswered >= settings_.downAfterUnanswered) {
            if (!record.down) {
                record.down = true;  // the row icon shows it in the RowChanged below
                RaiseAcDown(row);
            }
            record.down = true;
        }
        view_.RowChanged(row, record);
    }
    SettleTrayAfterExpiry();
    view_.ProbeCycleEnded();
}

void Monitor::SettleTrayAfterExpiry() {
    if (FollowsSelectedRow()) {
        if (rows_[static_cast<size_t>(selected_)]->down) trayUp_ = false;
    } else {
        const bool allDown = std::all_of(rows_.begin(), rows_.end(),
                                         [](const auto& record) { return record->down; });
        if (allDown) trayUp_ = false;
    }
    if (!trayUp_) view_.SetTrayState(false);
    if (settings_.soundEventsEnabled) newAcSoundArmed_ = true;
}

bool Monitor::FollowsSelectedRow() const {
    // With nothing selected (after Remove, say) there is no row to follow:
    // the all-rows rule applies, else the icon would keep its colour for
    // ever although every AC went down or one came back.
    return settings_.trayShowAcState && selected_ >= 0 &&
           static_cast<size_t>(selected_) < rows_.size();
}

void Monitor::HandleCaptureError(uintptr_t wParam) {
    if (wParam != static_cast<uintptr_t>(kCaptureErrorReadFailed)) return;
    ++counts_.captureErrors;
    logWriter_.WriteLine({"ERROR: ", kAdapterErrorText});
    view_.SetTrayState(false);
    ClearTable();
    view_.SetSelectedAcLabel({});
    ShowBalloon("Error:", BalloonIcon::kError, kAdapterErrorText);
}

void Monitor::HandleCable(uintptr_t wParam) {
    if (wParam == static_cast<uintptr_t>(kCableUnplugged)) {
        ++counts_.cableUnplugged;
        logWriter_.WriteLine({"WARNING: ", kCableUnpluggedText});
        ShowBalloon("WARNING:", BalloonIcon::kWarning, kCableUnpluggedText);
        if (settings_.soundEventsEnabled) PlayEventSound(settings_.cableUnplugSoundFile);
    } else if (wParam == static_cast<uintptr_t>(kCableConnected)) {
        ++counts_.cableConnected;
        logWriter_.WriteLine({"INFO: ", kCableConnectedText});
        ShowBalloon("INFO:", BalloonIcon::kInformation, kCableConnectedText);
        StopWaitingSound();
    }
}

void Monitor::HandleAdapterBack() {
    if (currentAdapter_ < 0) return;
    // The capture still holds the interface that went away: it reads nothing
    // and every probe fails until it is opened on the new one.
    logWriter_.WriteLine({"INFO: ", kAdapterBackText});
    ShowBalloon("INFO:", BalloonIcon::kInformation, kAdapterBackText);
    StopMonitoring();
    engine_.CloseCapture();
    ClearTable();
    RefreshAdapterMac();
    HandSourceMacToEngine();
    StartMonitoring();
}

void Monitor::RefreshAdapterMac() {
    if (currentAdapter_ < 0) return;
    AdapterEntry& adapter = adapters_[static_cast<size_t>(currentAdapter_)];
    if (const std::optional<MacAddress> mac = QueryInterfaceMac(adapter.deviceName))
        adapter.mac = *mac;
}

void Monitor::DrainLogBox() {
    for (const std::string& line : logWriter_.TakeBoxLines()) view_.LogAppended(line);
}

void Monitor::SelectRowFromMonitor(int row) {
    selected_ = row;
    view_.RowSelected(row);
    HandleSelection(row);
}

void Monitor::HandleSelection(int row) {
    if (row < 0) {
        view_.SetSelectedAcLabel({});
        view_.RefreshGraphs();
        return;
    }
    const KtAcRecord& record = *rows_[static_cast<size_t>(row)];
    view_.SetSelectedAcLabel(AcTitle(record));
    view_.RefreshGraphs();
    if (settings_.trayShowAcState) {
        trayUp_ = !record.down;
        view_.SetTrayState(trayUp_);
    }
}

void Monitor::ShowBalloon(std::string_view title, BalloonIcon icon, std::string_view text) {
    if (settings_.trayShowTooltips) view_.ShowBalloon(title, icon, text);
}

void Monitor::PlayEventSound(const std::string& file) {
    view_.PlaySound(file, settings_.waitUserAction);
}

std::string Monitor::AcTitle(const KtAcRecord& record) const {
    return FormatMacText(record.mac) + "  " + DisplayNetworkText(record.acName);
}

void Monitor::WriteSelectLine() {
    const AdapterEntry& adapter = adapters_[static_cast<size_t>(currentAdapter_)];
    // Descriptions come from the device (a USB product string, say): shown
    // escaped like network names.
    logWriter_.WriteLine({"Select: ", DisplayNetworkText(adapter.description)});
}
