// Names shared with the main application: notifications, the launch argument, the parameter
// keys of a deferred quick entry, and the helper's four-character codes.
#pragma once

#include "platform/four_char_code.h"

namespace pendra {

inline constexpr const char* kHelperBundleIdentifier = "com.orvano.PendraMacSandboxHelper";
inline constexpr const char* kLogSubsystem = "com.orvano.PendraMacSandboxHelper";
inline constexpr const char* kLogCategory = "PendraSandboxHelper";

inline constexpr const char* PendraMacSandboxHelperDidLaunchNotification =
    "PendraMacSandboxHelperDidLaunchNotification";
inline constexpr const char* PendraMacSandboxHelperDidTerminateNotification =
    "PendraMacSandboxHelperDidTerminateNotification";
inline constexpr const char* PendraMacSandboxHelperDidInstallNotification =
    "PendraMacSandboxHelperDidInstallNotification";
inline constexpr const char* PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification =
    "PendraMacSandboxHelperDidFailDueToMissingPermissionsNotification";
inline constexpr const char* ApplicationNameKey = "ApplicationName";

inline constexpr const char* PendraSandboxHelperInstalledLaunchArgument =
    "--pendra-sandbox-helper-installed";

// Given by the relaunch tool to a helper whose installation failed; no main application sends it.
inline constexpr const char* PendraSandboxHelperInstallationFailedLaunchArgument =
    "--pendra-sandbox-helper-installation-failed";

inline constexpr const char* BundleIdentifierParameter = "BundleIdentifierParameter";
inline constexpr const char* AdditionalPropertiesDescriptorParameter =
    "AdditionalPropertiesDescriptorParameter";

inline constexpr const char* kExperimentalIntegrationsEnabledKey =
    "ExperimentalIntegrationsEnabled";

inline constexpr const char* kPendraBundleIdentifier = "com.orvano.PendraMac";
inline constexpr const char* kPendraDevelopmentBundleIdentifier =
    "com.orvano.PendraMac.development";

inline constexpr const char* kRelaunchToolName = "PendraSandboxHelperRelaunchTool.app";
inline constexpr const char* kRemoveToolName = "PendraSandboxHelperRemoveTool";
inline constexpr const char* kInstallationFolderName = "Pendra Sandbox Helper";

// The helper's custom events.
inline constexpr platform::AEEventClass kPendraHelperEventClass = platform::fourCharCode("pdqe");
inline constexpr platform::AEEventID kGetVersionEventID = platform::fourCharCode("pdvn");
inline constexpr platform::AEEventID kUpdateEventID = platform::fourCharCode("pdup");
inline constexpr platform::AEEventID kDisableEventID = platform::fourCharCode("pdds");
inline constexpr platform::AEEventID kInvokeQuickEntryAutofillServiceItemEventID =
    platform::fourCharCode("pdiv");
inline constexpr platform::AEKeyword kMajorVersionKeyword = platform::fourCharCode("pdmj");
inline constexpr platform::AEKeyword kMinorVersionKeyword = platform::fourCharCode("pdmi");
inline constexpr platform::AEKeyword kReplyRecipientKeyword = platform::fourCharCode("pdrr");
inline constexpr platform::AEKeyword kAdditionalPropertiesKeyword = platform::fourCharCode("pdap");

// The autofill reply event.
inline constexpr platform::AEEventClass kAutofillReplyEventClass = platform::fourCharCode("PNDR");
inline constexpr platform::AEEventID kAutofillReplyEventID = platform::fourCharCode("sqep");
inline constexpr platform::AEKeyword kQuickEntryPropertiesKeyword = platform::fourCharCode("qepp");
inline constexpr platform::AEKeyword kTitleKeyword = platform::fourCharCode("pnam");
inline constexpr platform::AEKeyword kNoteKeyword = platform::fourCharCode("note");
inline constexpr platform::AEKeyword kTagNamesKeyword = platform::fourCharCode("tnam");

}  // namespace pendra
