#pragma once

// Ids of the interface texts (KtTextTable). Windows ask for their texts by
// these names; the numbers are the keys of the language files.
namespace TextId {

// Section "Shared".
constexpr int kOk = 101;
constexpr int kCancel = 102;
constexpr int kBrowse = 103;
constexpr int kClose = 104;
constexpr int kApply = 105;
constexpr int kChange = 106;

// Section "TrayMenu".
constexpr int kTrayRestore = 201;
constexpr int kTrayChangeSettings = 202;
constexpr int kTrayAbout = 203;
constexpr int kTrayExit = 204;

// Section "MonitorForm".
constexpr int kMonitorTitle = 301;
constexpr int kMonitorNetworkInterface = 302;
constexpr int kMonitorNoAdapters = 303;
constexpr int kColumnState = 304;
constexpr int kColumnMac = 305;
constexpr int kColumnAcName = 306;
constexpr int kColumnServiceName = 307;
constexpr int kColumnRtt = 308;
constexpr int kColumnSent = 309;
constexpr int kColumnReceived = 310;
constexpr int kColumnLost = 311;
constexpr int kMenuFile = 317;
constexpr int kMenuExit = 318;
constexpr int kMenuView = 319;
constexpr int kMenuRediscover = 320;
constexpr int kMenuRemoveAc = 321;
constexpr int kMenuConnection = 322;
constexpr int kMenuCreateConnection = 323;
constexpr int kMenuOptions = 326;
constexpr int kMenuSettings = 327;
constexpr int kMenuHelp = 328;
constexpr int kMenuAbout = 329;
constexpr int kToolbarCreateConnection = 330;
constexpr int kToolbarAvailableConnections = 331;
constexpr int kToolbarRemove = 332;
constexpr int kStatusUnknown = 333;
constexpr int kStatusInactive = 334;
constexpr int kStatusMonitoring = 335;

// Section "AboutForm".
constexpr int kAboutTitle = 401;
constexpr int kAboutName = 402;
constexpr int kAboutDescription = 403;
constexpr int kAboutSupport = 404;
constexpr int kAboutWebSite = 405;
constexpr int kAboutVersion = 406;

// Section "OptionsForm".
constexpr int kOptionsTitle = 501;
constexpr int kOptionsGeneral = 502;
constexpr int kOptionsSystem = 503;
constexpr int kOptionsInterface = 505;
constexpr int kOptionsSoundEvents = 506;
constexpr int kOptionsBehaviour = 507;
constexpr int kOptionsMonitor = 508;
constexpr int kOptionsLogs = 509;
constexpr int kOptionsPppoeDriver = 510;
constexpr int kOptionsPacketCapture = 511;

// Section "OptionsPageSys".
constexpr int kSysCaption = 601;
constexpr int kSysLaunchOnStartup = 602;
constexpr int kSysStartupDisabled = 603;
constexpr int kSysStartupCurrentUser = 604;
constexpr int kSysStartupAllUsers = 605;
constexpr int kSysInterfaceLanguage = 606;
constexpr int kSysSelectLanguage = 607;
constexpr int kSysTranslator = 608;
constexpr int kSysVersion = 609;
constexpr int kSysRestartNote = 610;

// Section "OptionsPageSound".
constexpr int kSoundCaption = 701;
constexpr int kSoundEnable = 702;
constexpr int kSoundEvent = 703;
constexpr int kSoundFileName = 704;
constexpr int kSoundCableUnplugged = 705;
constexpr int kSoundNewAc = 706;

// Section "OptionsPagePppoeDrv".
constexpr int kDriverCaption = 801;
constexpr int kDriverMiniport = 802;
constexpr int kDriverMiniportEndpoints = 803;
constexpr int kDriverRestartNote = 804;

// Section "OptionsPagePcap".
constexpr int kPcapCaption = 901;
constexpr int kPcapGroup = 902;
constexpr int kPcapSourceMac = 903;
constexpr int kPcapPromiscuous = 904;
constexpr int kPcapInvalidMac = 905;

// Section "NewConnectionForm".
constexpr int kConnectionName = 1001;
constexpr int kConnectionEnterName = 1002;
constexpr int kConnectionExistsCaption = 1003;
constexpr int kConnectionExistsText = 1004;
constexpr int kConnectionInvalidCaption = 1005;
constexpr int kConnectionInvalidText = 1006;

// Section "OptionsPageMonitor".
constexpr int kMonitorPageCaption = 1301;
constexpr int kMonitorPageTimings = 1302;
constexpr int kMonitorPagePadiInterval = 1303;
constexpr int kMonitorPagePadoWait = 1304;
constexpr int kMonitorPageEvents = 1305;
constexpr int kMonitorPageDownAfter = 1306;
constexpr int kMonitorPageBalloons = 1307;
constexpr int kMonitorPageTrayState = 1308;
constexpr int kMonitorPageWaitForUser = 1309;

// Section "OptionsPageLogs".
constexpr int kLogsCaption = 1401;
constexpr int kLogsLogging = 1402;
constexpr int kLogsPadiFromNodes = 1403;
constexpr int kLogsPadiFromInstances = 1404;
constexpr int kLogsGeneralFile = 1405;
constexpr int kLogsAcFile = 1406;
constexpr int kLogsFiles = 1407;
constexpr int kLogsFolder = 1408;

}  // namespace TextId
