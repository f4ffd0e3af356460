// Numbers the console shares with its resources: command ids, string ids and the
// frame's own message.
#pragma once

#include <windows.h>

namespace nb::console {

// Lock commands of the "Folder" menu, toolbar and context menu.
inline constexpr UINT kCmdLock = 32777;
inline constexpr UINT kCmdUnlock = 32778;
inline constexpr UINT kCmdProperties = 32779;
inline constexpr UINT kCmdResume = 32780;
inline constexpr UINT kCmdPause = 32781;
inline constexpr UINT kCmdHidden = 32782;
inline constexpr UINT kCmdReadOnly = 32783;

// Frame commands.
inline constexpr UINT kCmdChangePassword = 32771;
inline constexpr UINT kCmdViewMenu = 32772;
inline constexpr UINT kCmdRefresh = 32773;
inline constexpr UINT kCmdDefault = 32775;
inline constexpr UINT kCmdAdministrator = 32776;
inline constexpr UINT kCmdTitles = 32791;
inline constexpr UINT kCmdIcons = 32792;
inline constexpr UINT kCmdList = 32793;
inline constexpr UINT kCmdDetails = 32794;
inline constexpr UINT kCmdHelpAbout = 57664;
inline constexpr UINT kCmdExit = 57665;
inline constexpr UINT kCmdHelpContents = 57667;

// The frame's reload message (user message + 202), sent by the notification thread.
inline constexpr UINT kMsgUpdateInfo = 0x04CA;

// Strings of the console's resource module.
inline constexpr UINT kStrTitle = 57344;            // "Nimbra 2.2"
inline constexpr UINT kStrIdle = 57345;             // "Ready"
inline constexpr UINT kStrServiceNotRunning = 61205;
inline constexpr UINT kStrConfirmExit = 61207;
inline constexpr UINT kStrReady = 61208;
inline constexpr UINT kStrRunning = 61209;
inline constexpr UINT kStrColName = 61210;
inline constexpr UINT kStrColTimeout = 61211;
inline constexpr UINT kStrColType = 61212;
inline constexpr UINT kStrColStatus = 61213;
inline constexpr UINT kStrColMode = 61214;
inline constexpr UINT kStrDrive = 61217;
inline constexpr UINT kStrFolder = 61218;
inline constexpr UINT kStrConfirmUnlock = 61219;
inline constexpr UINT kStrPause = 61220;
inline constexpr UINT kStrNoVersion = 61221;        // "...(code=%d) "
inline constexpr UINT kStrBadVersion = 61222;       // "Invalid version.(code=%d)"
inline constexpr UINT kStrNoticeDefault = 61225;
inline constexpr UINT kStrNoticeBrand2 = 61227;
inline constexpr UINT kStrToolbarFont = 61228;
inline constexpr UINT kStrProductVersion = 61229;
inline constexpr UINT kStrHidden = 61230;
inline constexpr UINT kStrReadOnly = 61231;
inline constexpr UINT kStrUnknown = 61232;
inline constexpr UINT kStrNotStart = 61233;
inline constexpr UINT kStrAboutCaption = 61234;
inline constexpr UINT kStrToolbarFontSize = 61235;
inline constexpr UINT kStrNoticeBrand1 = 61236;
// The console's own message when the user database cannot be opened at start-up.
inline constexpr UINT kStrUserDbFailed = 232;

}  // namespace nb::console
