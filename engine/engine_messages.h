#pragma once

#include <cstdint>

#include "core/threads/message_port.h"

// Messages from the engines to the monitor window, with their fixed numbers.
// WM_LW_CAPTURE_ERROR, WM_LW_PADI_SENT, WM_LW_PROBE_SEND_FAILED,
// WM_LW_PADO_TIMEOUT and WM_LW_PADO_RECEIVED are sent (the engine thread
// waits until they are handled); WM_LW_CABLE is posted. The probe messages
// carry the probe's number as wParam.
constexpr uint32_t WM_LW_CAPTURE_ERROR = WM_USER + 1;  // wParam 1: reading the capture failed
constexpr uint32_t WM_LW_CABLE = WM_USER + 7;          // wParam: kCableUnplugged / kCableConnected
constexpr uint32_t WM_LW_PADI_SENT = WM_USER + 8;
constexpr uint32_t WM_LW_PADO_TIMEOUT = WM_USER + 9;
constexpr uint32_t WM_LW_PADO_RECEIVED = WM_USER + 10;
constexpr uint32_t WM_LW_PROBE_SEND_FAILED = WM_USER + 11;
// Posted by the link watcher: the watched adapter was replaced by a new
// interface of its name (replugged) and has its link.
constexpr uint32_t WM_LW_ADAPTER_BACK = WM_USER + 12;

constexpr int kCaptureErrorReadFailed = 1;
constexpr int kCableUnplugged = 1;
constexpr int kCableConnected = 2;
