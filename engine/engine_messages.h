#pragma once

#include <cstdint>

#include "core/threads/message_port.h"

// Messages from the engines to the Monitor's port on its owner thread, with
// their fixed numbers. WM_LW_CAPTURE_ERROR, WM_LW_PADI_SENT,
// WM_LW_PROBE_SEND_FAILED and WM_LW_PADO_TIMEOUT are sent (the engine thread
// waits until they are handled); the probe messages carry the probe's number
// as wParam.
// WM_LW_PADO_RECEIVED is posted, at most one at a time, with no wParam: the
// engine keeps the offers until the owner takes them. WM_LW_CABLE and
// WM_LW_ADAPTER_BACK are posted by the link watcher.
constexpr uint32_t WM_LW_CAPTURE_ERROR = WM_USER + 1;  // wParam 1: reading the capture failed
constexpr uint32_t WM_LW_CABLE = WM_USER + 7;          // wParam: kCableUnplugged / kCableConnected
constexpr uint32_t WM_LW_PADI_SENT = WM_USER + 8;
constexpr uint32_t WM_LW_PADO_TIMEOUT = WM_USER + 9;
constexpr uint32_t WM_LW_PADO_RECEIVED = WM_USER + 10;
constexpr uint32_t WM_LW_PROBE_SEND_FAILED = WM_USER + 11;
// The watched adapter was replaced by a new interface of its name
// (replugged) and has its link.
constexpr uint32_t WM_LW_ADAPTER_BACK = WM_USER + 12;

constexpr int kCaptureErrorReadFailed = 1;
constexpr int kCableUnplugged = 1;
constexpr int kCableConnected = 2;
